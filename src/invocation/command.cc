#include "src/invocation/command.h"

#include <unistd.h>

#include <cassert>

#include "src/net/https_client.h"
#include "src/term/output.h"
#include "src/term/terminal.h"

namespace tessarin {

// -- Arguments ---------------------------------------------------------------------------------

Arguments::Slot& Arguments::slot(std::string_view key) {
    for (Slot& s : m_slots)
        if (s.key == key)
            return s;
    m_slots.push_back(Slot{key});
    return m_slots.back();
}

const Arguments::Slot* Arguments::find(std::string_view key) const {
    for (const Slot& s : m_slots)
        if (s.key == key)
            return &s;
    return nullptr;
}

bool Arguments::flag(const OptionDef& option, bool otherwise) const {
    const Slot* s = find(option.storage_key());
    return s ? s->flag : otherwise;
}

const std::string* Arguments::text(const OptionDef& option) const {
    const Slot* s = find(option.storage_key());
    return s && s->text ? &*s->text : nullptr;
}

const SecretBytes* Arguments::content(const OptionDef& option) const {
    const Slot* s = find(option.storage_key());
    return s && s->content ? &*s->content : nullptr;
}

void Arguments::set_flag(const OptionDef& option) {
    slot(option.storage_key()).flag = option.flag_value;
}

void Arguments::set_text(const OptionDef& option, std::string value) {
    slot(option.storage_key()).text = std::move(value);
}

void Arguments::set_content(const OptionDef& option, SecretBytes value) {
    slot(option.storage_key()).content = std::move(value);
}

Result<void> Arguments::claim_stdin(const OptionDef& option) {
    if (m_stdin_reader)
        return CliError(TS_2000, "--" + *m_stdin_reader + " and --" + std::string(option.name) +
                                     " both read standard input; give one of them a file");
    m_stdin_reader = std::string(option.name);
    return {};
}

CliError secret_on_command_line(std::string_view option, std::string_view alternative) {
    return CliError(TS_2000,
                    "--" + std::string(option) +
                        " is a secret field and must not appear on the command line; use " +
                        std::string(alternative));
}

// -- Invocation --------------------------------------------------------------------------------

Result<Session*> Invocation::session() {
    if (!m_session) {
        // A command that declared no need for the configuration asking for it is a fault of the
        // command table, not of the user's input.
        assert(m_may_load);
        if (!m_may_load)
            return CliError(TS_2081, "command asked for the configuration it did not declare");
        LoadedConfig config = TRY(load_config());
        std::stop_source stop;
        m_session.emplace(Session{std::move(config), make_https_client(stop.get_token()), stop});
    }
    return &*m_session;
}

// -- The reader --------------------------------------------------------------------------------

Result<SecretBytes> read_path_value(std::string_view path, size_t limit) {
    SecretBytes value = TRY(read_bounded_secret(path, limit));
    if (path != "-") {
        const std::string_view text = value.expose_text();
        size_t size = text.size();
        while (size > 0 && (text[size - 1] == '\n' || text[size - 1] == '\r')) --size;
        value.truncate(size);
    }
    return value;
}

Result<SecretBytes> read_path_option(std::string_view option, std::string_view path, size_t limit) {
    if (path == "-" && ::isatty(STDIN_FILENO) == 1)
        return read_terminal_value(option, limit);
    return read_path_value(path, limit);
}

namespace {

const CommandDef* find_subcommand(const SubcommandDef& subs, std::string_view word) {
    for (const CommandDef& sub : subs.list)
        if (sub.name == word)
            return &sub;
    return nullptr;
}

// Runs the chosen command: loads what it needs once its arguments are complete, then calls it.
Result<void> run_chosen(const CommandDef& chosen, Invocation& invocation) {
    if (chosen.needs == Needs::Config)
        TRY(invocation.session());
    return chosen.run(invocation);
}

// The option loop: options and the positional argument in any order; --help prints the usage
// text; anything the command does not define is refused.
Result<void> read_and_run(const CommandDef& def, std::string_view command, ArgLexer& lexer) {
    const bool positional_subcommand =
        def.subcommands && def.subcommands->read == SubcommandDef::Read::Positional;
    const CommandDef* chosen = nullptr;
    bool may_load = def.needs != Needs::Nothing;
    if (positional_subcommand)
        for (const CommandDef& sub : def.subcommands->list)
            may_load = may_load || sub.needs != Needs::Nothing;
    Invocation invocation(command, lexer, may_load);
    Arguments& args = invocation.args();

    for (;;) {
        auto token = TRY(lexer.next());
        if (!token)
            break;
        const ArgToken& t = *token;
        if (t.kind == ArgToken::Kind::Long) {
            if (t.text == "help" && !def.usage.empty()) {
                write_stdout(def.usage);
                return {};
            }
            if (const OptionDef* option = find_option(def.options, t.text)) {
                TRY(read_option(*option, lexer, args));
                continue;
            }
        } else if (t.kind == ArgToken::Kind::Value) {
            if (positional_subcommand && !chosen) {
                std::string word = TRY(require_utf8(t.text, def.positional().name));
                chosen = find_subcommand(*def.subcommands, word);
                if (!chosen)
                    return CliError(TS_2000, def.subcommands->unknown(command, word));
                continue;
            }
            if (!positional_subcommand && !def.positional().name.empty() && !args.positional()) {
                if (def.positional().help_word && t.text == "help") {
                    write_stdout(def.usage);
                    return {};
                }
                args.set_positional(TRY(require_utf8(t.text, def.positional().name)));
                continue;
            }
        }
        return unexpected(t);
    }
    const OptionDef* stand_in = nullptr;
    for (const OptionDef& option : def.options)
        if (option.instead_of_positional && args.text(option))
            stand_in = &option;
    if (stand_in && args.positional())
        return CliError(TS_2000, "give either <" + std::string(def.positional().name) + "> or --" +
                                     std::string(stand_in->name) + ", not both");
    if (!positional_subcommand && !stand_in && !args.positional() &&
        !def.positional().missing.empty())
        return CliError(TS_2000, std::string(def.positional().missing));

    if (positional_subcommand && !chosen)
        chosen = def.subcommands->otherwise;
    return run_chosen(chosen ? *chosen : def, invocation);
}

}  // namespace

bool is_help_word(std::string_view word) {
    return word == "--help" || word == "-h";
}

const OptionDef* find_option(std::span<const OptionDef> options, std::string_view name) {
    for (const OptionDef& option : options)
        if (option.name == name)
            return &option;
    return nullptr;
}

Result<void> read_option(const OptionDef& option, ArgLexer& lexer, Arguments& args) {
    switch (option.kind) {
        case OptionKind::Flag:
            args.set_flag(option);
            return {};
        case OptionKind::Text: {
            std::string value = TRY(lexer.utf8_value());
            if (option.check)
                TRY(option.check(value));
            args.set_text(option, std::move(value));
            return {};
        }
        case OptionKind::Path: {
            std::string path = TRY(lexer.utf8_value());
            if (path == "-")
                TRY(args.claim_stdin(option));
            args.set_content(option, TRY(read_path_option(option.name, path, option.limit)));
            return {};
        }
        case OptionKind::Refused:
            return secret_on_command_line(option.name, option.alternative);
    }
    return {};
}

Result<void> run_command(const CommandDef& def, ArgLexer& lexer) {
    if (def.reads_own_arguments) {
        Invocation invocation(def.name, lexer, def.needs != Needs::Nothing, def.usage);
        return run_chosen(def, invocation);
    }
    if (def.subcommands && def.subcommands->read == SubcommandDef::Read::Leading) {
        std::string word = TRY(lexer.value_named("<subcommand>"));
        if (is_help_word(word) && !def.usage.empty()) {
            write_stdout(def.usage);
            return {};
        }
        word = TRY(require_utf8(std::move(word), "<subcommand>"));
        const CommandDef* sub = find_subcommand(*def.subcommands, word);
        if (!sub)
            return CliError(TS_2000, def.subcommands->unknown(def.name, word));
        return read_and_run(*sub, def.name, lexer);
    }
    return read_and_run(def, def.name, lexer);
}

}  // namespace tessarin
