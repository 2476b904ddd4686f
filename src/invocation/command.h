// The command table's vocabulary: what a command declares (options, positional arguments,
// sub-commands, what it needs loaded) and what it is handed when it runs (its arguments and,
// when it needs one, a session with the vault). One reader of options serves every command,
// and a command reads an option's value through the option's declaration.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/secret.h"
#include "src/base/errors.h"
#include "src/config/config.h"
#include "src/gate/vault.h"
#include "src/invocation/args.h"
#include "src/net/http_client.h"
#include "src/term/input.h"

namespace tessarin {

// What an option takes.
enum class OptionKind {
    Flag,     // no value; sets its key to `flag_value`
    Text,     // one UTF-8 value ("--name: not valid UTF-8" otherwise)
    Path,     // a path ("-" = standard input) whose content is read at once, bounded
    Refused,  // a secret that must not travel on the command line
};

struct OptionDef {
    std::string_view name;  // without the dashes
    OptionKind kind = OptionKind::Flag;
    // Where the value is kept; the name when empty. Opposing flags share one key, so the last
    // one on the line wins (--exact / --fuzzy).
    std::string_view key = {};
    bool flag_value = true;
    // Path: the byte limit of the read. Refused: the alternative named in the refusal.
    size_t limit = k_input_limit;
    std::string_view alternative = {};
    // Text: a check run as soon as the value is read (a number, a range).
    Result<void> (*check)(std::string_view value) = nullptr;
    // For the texts made from the table (help, man page, completion): what the option does, in
    // a few words, and the name of its value ("label", "N"; Path options: "path").
    std::string_view about = {};
    std::string_view value_name = {};
    // Text: the only values that pass its check, offered by completion.
    std::span<const std::string_view> choices = {};
    // Text: the option names what the positional argument would (--id beside a query): one of
    // the two is required, never both.
    bool instead_of_positional = false;
    // False for a second spelling that is accepted but never offered: the texts made from the
    // table name the other one (put's --public-key beside the field's own --public_key).
    bool listed = true;

    std::string_view storage_key() const { return key.empty() ? name : key; }
};

// What a positional argument names, for the texts made from the table (completion).
enum class PositionalKind {
    Text,
    File,  // a file ("-" for standard input)
    Type,  // an entry type of the schema
};

struct PositionalDef {
    std::string_view name;     // "query" in "query: not valid UTF-8"
    std::string_view missing;  // detail when it is absent; empty: optional
    bool help_word = false;    // the word "help" in its place prints the usage text
    PositionalKind kind = PositionalKind::Text;
};

// The refusal of a secret given on the command line as --option, naming what to use instead.
CliError secret_on_command_line(std::string_view option, std::string_view alternative);

// The values read for a command's options and its positional argument. Each value is kept in
// its option's slot (OptionDef::storage_key) and asked for through the option's declaration:
// options that share a slot (--exact / --fuzzy) are read through either.
class Arguments {
  public:
    // A Flag option's value: the flag_value of the last option of its slot given, else
    // `otherwise`.
    bool flag(const OptionDef& option, bool otherwise = false) const;
    // The value of a Text option, or nullptr when it was not given.
    const std::string* text(const OptionDef& option) const;
    // The content read for a Path option (trailing CR and LF removed from files, standard
    // input kept exactly), or nullptr when it was not given. The content may be a secret.
    const SecretBytes* content(const OptionDef& option) const;
    const std::optional<std::string>& positional() const { return m_positional; }
    // Records that the option reads standard input. Standard input can be read once: a second
    // option asking for it would get nothing, so it is refused (TS-2000, naming both options)
    // before anything is read.
    Result<void> claim_stdin(const OptionDef& option);

    // The Flag option was given: its slot takes its flag_value.
    void set_flag(const OptionDef& option);
    void set_text(const OptionDef& option, std::string value);
    void set_content(const OptionDef& option, SecretBytes value);
    void set_positional(std::string value) { m_positional = std::move(value); }

  private:
    struct Slot {
        std::string_view key;
        bool flag = false;
        std::optional<std::string> text;
        std::optional<SecretBytes> content;
    };
    Slot& slot(std::string_view key);
    const Slot* find(std::string_view key) const;

    std::vector<Slot> m_slots;
    std::optional<std::string> m_positional;
    std::optional<std::string> m_stdin_reader;
};

// A command's connection to the vault: the loaded configuration, the HTTPS client (with the
// command's connection budget), the command's one stop source, which ends the client's
// requests and the command's AtOnce work, and the command's route to its gates.
struct Session {
    LoadedConfig config;
    std::unique_ptr<HttpClient> http;
    std::stop_source stop;
    std::unique_ptr<GateRoute> route = std::make_unique<GateRoute>();
    Vault vault() { return Vault{config, *http, stop, *route}; }
};

// What a running command is handed.
class Invocation {
  public:
    Invocation(std::string_view command, ArgLexer& lexer, bool may_load,
               std::string_view usage = {})
        : m_command(command), m_lexer(lexer), m_may_load(may_load), m_usage(usage) {}

    // The command word as typed ("note" or "memory" for the text entries).
    std::string_view command() const { return m_command; }
    Arguments& args() { return m_args; }
    const Arguments& args() const { return m_args; }
    // The rest of the command line, for a command that reads its own arguments (put).
    ArgLexer& lexer() { return m_lexer; }
    // The command's usage text, for a command that reads its own arguments.
    std::string_view usage() const { return m_usage; }

    // The configuration and the gate client, loaded on first use. Only commands that declare
    // a need for the configuration may ask.
    Result<Session*> session();

  private:
    std::string_view m_command;
    ArgLexer& m_lexer;
    bool m_may_load;
    std::string_view m_usage;
    Arguments m_args;
    std::optional<Session> m_session;
};

using CommandFunction = Result<void> (*)(Invocation&);

enum class Needs {
    Nothing,         // never reads the configuration
    Config,          // loaded by dispatch once the arguments are complete
    ConfigOnDemand,  // loaded when the command asks: only once its input calls for the vault
};

struct CommandDef;

// How a command's sub-commands are chosen.
struct SubcommandDef {
    enum class Read {
        Leading,     // the word right after the command ("memory create"), then its own options
        Positional,  // the first positional among the command's options ("skill --yes install")
    };
    Read read = Read::Leading;
    std::span<const CommandDef> list;
    // TS-2000 detail for a word that names no sub-command: built from the command and the word.
    std::string (*unknown)(std::string_view command, std::string_view word) = nullptr;
    // Positional: the sub-command run when none is named (nullptr: none).
    const CommandDef* otherwise = nullptr;
};

// What the help text's command list shows of a command, and the one-line summary that the
// man page and the completion use too.
struct HelpEntry {
    std::string_view args = {};     // after the name, dim ("<query>"); empty: none
    std::string_view summary = {};  // one line
    std::string_view notes = {};    // further dim lines, one per "\n"
    // The notes start at the margin of the arguments, not under the summary.
    bool notes_at_margin = false;
};

struct CommandDef {
    std::string_view name;
    HelpEntry help = {};
    // Printed by --help, which then ends the command successfully; empty: --help is refused
    // like any option the command does not define. A command whose sub-command is the word
    // after it (note, memory) prints it for --help or -h in the sub-command's place.
    std::string_view usage = {};
    std::span<const OptionDef> options = {};
    // The positional arguments, as the usage text shows them. The shared reader reads at most
    // one (the first); a command that reads its own arguments declares what it reads.
    std::span<const PositionalDef> positionals = {};
    Needs needs = Needs::Nothing;
    CommandFunction run = nullptr;
    std::optional<SubcommandDef> subcommands = std::nullopt;
    // The command reads the rest of its line itself (its options depend on what it reads).
    bool reads_own_arguments = false;

    // The first positional argument, or one without a name when there is none.
    const PositionalDef& positional() const {
        static constexpr PositionalDef k_none{};
        return positionals.empty() ? k_none : positionals.front();
    }
};

// A word read in a value's place (a sub-command, put's title) that asks for the usage text
// instead: --help or -h.
bool is_help_word(std::string_view word);

// The option of that name (without dashes) among options, or nullptr.
const OptionDef* find_option(std::span<const OptionDef> options, std::string_view name);

// Reads the value of `option` (just met on the line) as its kind says, into args.
Result<void> read_option(const OptionDef& option, ArgLexer& lexer, Arguments& args);

// Reads the arguments after the command word as `def` declares them, loads what the chosen
// command needs, and runs it.
Result<void> run_command(const CommandDef& def, ArgLexer& lexer);

// A Path option's content: the bounded reader's text, with trailing CR and LF removed when it
// came from a file ("-" is standard input, kept exactly).
Result<SecretBytes> read_path_value(std::string_view path, size_t limit);

// The content of the path option named `option` (without dashes). "-" while standard input is
// a terminal: a prompt naming the option, one line typed with echo off, its line end dropped.
// Otherwise read_path_value: a pipe or a file is read to its end.
Result<SecretBytes> read_path_option(std::string_view option, std::string_view path, size_t limit);

}  // namespace tessarin
