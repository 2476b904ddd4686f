// The everyday commands: get, find, totp and delete (their usage texts, help entries and
// options), and resolve_one, which turns a query into exactly one vault entry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/gate/vault.h"
#include "src/invocation/command.h"

namespace tessarin {

// The entry_id of the one entry the search finds; TS-2046 for none, TS-2045 for several
// (with the candidates, or "narrow your query"), with the quota warning appended on failure.
// follow_up, when given, is opened while the search is answered.
Result<std::string> resolve_one(const Vault& vault, std::string_view query, bool exact,
                                const std::optional<std::string>& type,
                                EarlyConnection* follow_up = nullptr);

// An entry identifier given with --id: non-empty and at most k_max_entry_id bytes (TS-2000).
inline constexpr size_t k_max_entry_id = 128;
Result<void> check_entry_id(std::string_view id);

// --exact (the default) and --fuzzy set one flag: the last one on the line wins.
inline constexpr OptionDef k_exact{.name = "exact",
                                   .kind = OptionKind::Flag,
                                   .key = "exact",
                                   .flag_value = true,
                                   .about = "Exact title match, ignoring case (the default)"};
inline constexpr OptionDef k_fuzzy{.name = "fuzzy",
                                   .kind = OptionKind::Flag,
                                   .key = "exact",
                                   .flag_value = false,
                                   .about = "Substring title match"};

// --id ID: names the entry by its identifier, in place of the query.
inline constexpr OptionDef k_id_option{.name = "id",
                                       .kind = OptionKind::Text,
                                       .check = check_entry_id,
                                       .about = "The entry's identifier, in place of the query",
                                       .value_name = "id",
                                       .instead_of_positional = true};

// --type T: only entries of this type (get, find).
inline constexpr OptionDef k_type_filter{.name = "type",
                                         .kind = OptionKind::Text,
                                         .about = "Only entries of this type",
                                         .value_name = "type"};

// -- get ---------------------------------------------------------------------------------------

inline constexpr std::string_view k_usage_get =
    "Usage: tessarin-cli get <query> [--field <label>] [--json] [--fuzzy] [--type <entry type>]\n"
    "  Title match is exact by default (case-insensitive). --fuzzy allows substring.\n"
    "  --type narrows by what the entry IS (api_key, credential, note, ssh_key, totp, \u2026)\n"
    "  \u2014 the disambiguator when two entries share a name, e.g. a console login\n"
    "  (credential) and its API key (api_key). Aliases: api \u2192 api_key, ssh \u2192 ssh_key.\n"
    "  --exact restores the default. --id <id> names the entry by its identifier (from\n"
    "  get --json or memory search) in place of <query>.\n";
inline constexpr HelpEntry k_help_get{
    .args = "<query>",
    .summary = "Fetch any entry by exact title (case-insensitive).",
    .notes =
        "Works with all entry types in the vault.\n"
        "Options: --field <label>, --json, --fuzzy, --type <t>\n"
        "--exact (default), --id <id> (in place of <query>)"};
inline constexpr OptionDef k_get_field{.name = "field",
                                       .kind = OptionKind::Text,
                                       .about = "Print one field's raw value (no newline)",
                                       .value_name = "label"};
inline constexpr OptionDef k_get_json{.name = "json",
                                      .about = "Print the whole entry as JSON, undecrypted"};
inline constexpr OptionDef k_get_options[] = {k_get_field, k_get_json,    k_exact,
                                              k_fuzzy,     k_type_filter, k_id_option};
inline constexpr PositionalDef k_get_positionals[] = {
    {.name = "query", .missing = "missing <query> (try: tessarin-cli get OpenAI)"}};

// -- find --------------------------------------------------------------------------------------

inline constexpr std::string_view k_usage_find =
    "Usage: tessarin-cli find <name> [--type <entry type>]\n"
    "  Lists the exact titles of entries whose name contains <name> (\u22654 chars).\n"
    "  Prints titles and types only \u2014 never a value. Fetch one with get \"<title>\".\n"
    "  --json prints them as a JSON array of title, type and id.\n";
inline constexpr HelpEntry k_help_find{
    .args = "<name>",
    .summary = "List exact titles matching a name (\u22654 chars).",
    .notes =
        "Titles and types only, never values. Options: --type <t>\n"
        "--json (titles, types and ids as JSON)"};
inline constexpr OptionDef k_find_json{
    .name = "json", .about = "Print the matches (title, type, id) as a JSON array"};
inline constexpr OptionDef k_find_options[] = {k_type_filter, k_find_json};
inline constexpr PositionalDef k_find_positionals[] = {
    {.name = "name", .missing = "missing <name> (try: tessarin-cli find openrouter)"}};

// -- delete and totp ---------------------------------------------------------------------------

// The options of every command that names one entry and nothing more about it.
inline constexpr OptionDef k_exactness_options[] = {k_exact, k_fuzzy, k_id_option};

inline constexpr std::string_view k_usage_delete =
    "Usage: tessarin-cli delete <query> [--fuzzy]\n"
    "\n"
    "Delete an entry by exact title (case-insensitive).\n"
    "Must match exactly one entry.\n"
    "\n"
    "Options:\n"
    "--fuzzy    Substring title match (default is exact)\n"
    "--exact    Exact title match (the default)\n"
    "--id <id>  The entry's identifier, in place of <query>\n";
inline constexpr HelpEntry k_help_delete{.args = "<query>",
                                         .summary = "Delete an entry by exact title.",
                                         .notes = "Options: --fuzzy, --exact (default), --id <id>"};
inline constexpr PositionalDef k_delete_positionals[] = {
    {.name = "query", .missing = "missing <query>"}};

inline constexpr std::string_view k_usage_totp =
    "Usage: tessarin-cli totp <query> [--fuzzy]\n"
    "  Title match is exact by default. --fuzzy allows substring.\n"
    "  --exact restores the default. --id <id> names the entry by its identifier instead.\n";
inline constexpr HelpEntry k_help_totp{.args = "<query>",
                                       .summary = "Print the current TOTP code.",
                                       .notes = "Options: --fuzzy, --exact (default), --id <id>"};
inline constexpr PositionalDef k_totp_positionals[] = {
    {.name = "query", .missing = "missing <query> (try: tessarin-cli totp GitHub)"}};

// The identifier of the entry the arguments name: --id as given, or else the query resolved
// with resolve_one (the "exact" flag, the type filter). Every caller sends a request about the
// entry found: follow_up (the caller's, from vault.early_connection()) is opened for it while
// the search is answered, and the caller sends that request over it.
Result<std::string> named_entry_id(const Vault& vault, const Arguments& args,
                                   const std::optional<std::string>& type,
                                   EarlyConnection& follow_up);

// get, find, totp and delete, with their arguments read (a query or name, options).
Result<void> run_get(Invocation& invocation);
Result<void> run_find(Invocation& invocation);
Result<void> run_totp(Invocation& invocation);
Result<void> run_delete(Invocation& invocation);

}  // namespace tessarin
