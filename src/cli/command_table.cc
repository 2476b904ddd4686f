#include "src/cli/command_table.h"

#include <array>

#include "src/base/entry_schema.h"
#include "src/cli/help_text.h"
#include "src/commands/audit.h"
#include "src/commands/edit.h"
#include "src/commands/init.h"
#include "src/commands/lookup.h"
#include "src/commands/put.h"
#include "src/commands/render.h"
#include "src/commands/skill.h"
#include "src/commands/status.h"
#include "src/commands/textentry.h"
#include "src/commands/textentry_input.h"
#include "src/term/output.h"

namespace tessarin {

namespace {

Result<void> run_version(Invocation&) {
    print_version();
    return {};
}

Result<void> run_help(Invocation&) {
    print_help();
    return {};
}

// The embedded document byte for byte (never re-serialised), plus one newline.
void print_schema() {
    std::string out(schema_document());
    out.push_back('\n');
    write_stdout(out);
}

constexpr FirstOption k_first_options[] = {
    {'V', "version", "Print version and exit", print_version},
    {'h', "help", "Show the help text", print_help},
    {0, "show-schema", "Print the entry-type schema as JSON", print_schema},
};

// -- usage texts, printed by --help on the command -----------------------------------------------

constexpr std::string_view k_usage_init =
    "Usage: tessarin-cli init [blob]\n"
    "\n"
    "Enroll from a sealed enrollment blob (from the vault UI).\n"
    "If [blob] is omitted, it is read from stdin.\n"
    "The enrollment key is prompted for interactively (never on\n"
    "the command line); when piped, pass it as the line after the\n"
    "blob:  printf '%s\\n%s\\n' BLOB KEY | tessarin-cli init\n";

constexpr std::string_view k_usage_status =
    "Usage: tessarin-cli status [--json]\n"
    "  Shows the configuration file, the vault, the replica (if any), the vault id and the\n"
    "  agent this host is enrolled with, without contacting the vault. --json: as JSON.\n";

constexpr std::string_view k_usage_get =
    "Usage: tessarin-cli get <query> [--field <label>] [--json] [--fuzzy] [--type <entry type>]\n"
    "  Title match is exact by default (case-insensitive). --fuzzy allows substring.\n"
    "  --type narrows by what the entry IS (api_key, credential, note, ssh_key, totp, \u2026)\n"
    "  \u2014 the disambiguator when two entries share a name, e.g. a console login\n"
    "  (credential) and its API key (api_key). Aliases: api \u2192 api_key, ssh \u2192 ssh_key.\n"
    "  --exact restores the default. --id <id> names the entry by its identifier (from\n"
    "  get --json or memory search) in place of <query>.\n";

constexpr std::string_view k_usage_find =
    "Usage: tessarin-cli find <name> [--type <entry type>]\n"
    "  Lists the exact titles of entries whose name contains <name> (\u22654 chars).\n"
    "  Prints titles and types only \u2014 never a value. Fetch one with get \"<title>\".\n"
    "  --json prints them as a JSON array of title, type and id.\n";

constexpr std::string_view k_usage_delete =
    "Usage: tessarin-cli delete <query> [--fuzzy]\n"
    "\n"
    "Delete an entry by exact title (case-insensitive).\n"
    "Must match exactly one entry.\n"
    "\n"
    "Options:\n"
    "--fuzzy    Substring title match (default is exact)\n"
    "--exact    Exact title match (the default)\n"
    "--id <id>  The entry's identifier, in place of <query>\n";

constexpr std::string_view k_usage_totp =
    "Usage: tessarin-cli totp <query> [--fuzzy]\n"
    "  Title match is exact by default. --fuzzy allows substring.\n"
    "  --exact restores the default. --id <id> names the entry by its identifier instead.\n";

constexpr std::string_view k_usage_render =
    "Usage: tessarin-cli render <file>  (use - for stdin)\n";

constexpr std::string_view k_usage_audit =
    "Usage: tessarin-cli audit [options]\n"
    "\n"
    "Options:\n"
    "  --limit N       Max events (default 50)\n"
    "  --actor <id>    Filter by actor\n"
    "  --action <act>  Filter by action (read, totp, create, etc.)\n"
    "  --entry <name>  Filter by entry name (substring)\n"
    "  --since <date>  Events after date (YYYY-MM-DD)\n"
    "  --until <date>  Events before date (YYYY-MM-DD)\n"
    "  --json          Machine-readable JSON output\n";

constexpr std::string_view k_usage_put =
    "Usage: tessarin-cli put <type> <title> [--<field> VALUE] [--<field>-file PATH] [--urls URL]\n"
    "       tessarin-cli put --json  (one JSON object on stdin)\n"
    "  Creates an entry of any type of the schema (tessarin-cli --show-schema lists each\n"
    "  type's fields). Secret fields take only --<field>-file PATH (- for stdin).\n"
    "  A title that begins with \"-\" goes after --: tessarin-cli put note -- \"-draft\"\n"
    "  --generate FIELD (repeatable) makes a secret field's value here: --length N (8 to 256,\n"
    "  default 32), --charset LIST (lower, upper, digits, symbols; default all four);\n"
    "  --print-generated writes it to stdout and the OK line to stderr.\n";

constexpr std::string_view k_usage_skill =
    "Usage: tessarin-cli skill {print|install} [--yes]\n"
    "  --yes  non-interactive install to all detected environments\n";

// note and memory take the same sub-commands and options: one text serves both.
constexpr std::string_view k_usage_text_entries =
    "Usage: tessarin-cli {note|memory} <subcommand> [options]\n"
    "  Notes (rich text) and memories (context one agent leaves for another): a summary, which\n"
    "  is the title, and a content, both L2-encrypted and never taken on the command line\n"
    "  (PATH - reads stdin); a status; optionally an embedding for search.\n"
    "  create  --summary-file PATH [--content-file PATH] [--status draft|active|archived]\n"
    "          [--embeddings-file PATH --embedding-model <name>]   or: create --json\n"
    "  get     <query> [--full] [--json] [--fuzzy]\n"
    "  update  <query> [--summary-file PATH] [--content-file PATH] [--status <status>]\n"
    "          [--embeddings-file PATH] [--embedding-model <name>] [--fuzzy]\n"
    "  delete  <query> [--fuzzy]\n"
    "  search  --vector-file PATH [--limit N]\n"
    "  get, update, delete: --exact (the default), --id <id> in place of <query>.\n"
    "  tessarin-cli {note|memory} <subcommand> --help shows one subcommand's usage.\n";

constexpr std::string_view k_usage_text_create =
    "Usage: tessarin-cli {note|memory} create --summary-file PATH [--content-file PATH]\n"
    "         [--status <status>] [--embeddings-file PATH --embedding-model <name>]\n"
    "       tessarin-cli {note|memory} create --json  (one JSON object on stdin)\n"
    "  Without --content-file the content is read from stdin (not a terminal); it is 1 to\n"
    "  65536 bytes. PATH - reads stdin. --status: draft (the default), active or archived.\n"
    "  The JSON object holds \"summary\", \"content\" and optionally \"status\", \"embeddings\"\n"
    "  and \"embedding_model\".\n";

constexpr std::string_view k_usage_text_get =
    "Usage: tessarin-cli {note|memory} get <query> [--full] [--json] [--fuzzy]\n"
    "  Prints the summary and the status; --full the content too; --json the whole entry as\n"
    "  the vault sent it (undecrypted). Title match is exact by default (--exact); --fuzzy\n"
    "  allows substring. --id <id> names the entry by its identifier in place of <query>.\n";

constexpr std::string_view k_usage_text_update =
    "Usage: tessarin-cli {note|memory} update <query> [--summary-file PATH] [--content-file PATH]\n"
    "         [--status <status>] [--embeddings-file PATH] [--embedding-model <name>] [--fuzzy]\n"
    "  Changes what the options give and keeps everything else. PATH - reads stdin.\n"
    "  --status: draft, active or archived. Title match is exact by default (--exact);\n"
    "  --fuzzy allows substring. --id <id> names the entry by its identifier in place of "
    "<query>.\n";

constexpr std::string_view k_usage_text_delete =
    "Usage: tessarin-cli {note|memory} delete <query> [--fuzzy]\n"
    "  Deletes the entry. Title match is exact by default (--exact); --fuzzy allows substring.\n"
    "  --id <id> names the entry by its identifier in place of <query>.\n";

constexpr std::string_view k_usage_text_search =
    "Usage: tessarin-cli {note|memory} search --vector-file PATH [--limit N]\n"
    "  Lists the entries nearest to the embedding (base64) read from PATH (- for stdin), at\n"
    "  most N (1 to 50, default 10): id, distance, [model] and summary, one line each.\n";

// -- options --------------------------------------------------------------------------------------

constexpr OptionDef k_type{.name = "type",
                           .kind = OptionKind::Text,
                           .about = "Only entries of this type",
                           .value_name = "type"};
constexpr OptionDef k_json_output{.name = "json", .about = "Print the vault's reply as JSON"};

constexpr OptionDef k_status_options[] = {
    {.name = "json", .about = "Print the same as a JSON object"},
};
constexpr OptionDef k_get_options[] = {
    {.name = "field",
     .kind = OptionKind::Text,
     .about = "Print one field's raw value (no newline)",
     .value_name = "label"},
    {.name = "json", .about = "Print the whole entry as JSON, undecrypted"},
    k_exact,
    k_fuzzy,
    k_type,
    k_id_option,
};
constexpr OptionDef k_find_options[] = {
    k_type,
    {.name = "json", .about = "Print the matches (title, type, id) as a JSON array"},
};
constexpr OptionDef k_exactness_options[] = {k_exact, k_fuzzy, k_id_option};
constexpr OptionDef k_skill_options[] = {
    {.name = "yes", .about = "Install to every detected environment without asking"},
};
constexpr OptionDef k_audit_options[] = {
    // The number is checked as soon as it is read, before the configuration is loaded.
    {.name = "limit",
     .kind = OptionKind::Text,
     .check = check_audit_limit,
     .about = "At most N events, 1 to 1000 (default 50)",
     .value_name = "N"},
    {.name = "actor", .kind = OptionKind::Text, .about = "Filter by actor", .value_name = "id"},
    {.name = "action",
     .kind = OptionKind::Text,
     .about = "Filter by action (read, totp, create, ...)",
     .value_name = "action"},
    {.name = "entry",
     .kind = OptionKind::Text,
     .about = "Filter by entry name (substring)",
     .value_name = "name"},
    {.name = "since",
     .kind = OptionKind::Text,
     .about = "Events from this day on (UTC)",
     .value_name = "YYYY-MM-DD"},
    {.name = "until",
     .kind = OptionKind::Text,
     .about = "Events up to the end of this day (UTC)",
     .value_name = "YYYY-MM-DD"},
    k_json_output,
};

// -- note and memory -----------------------------------------------------------------------------

constexpr OptionDef k_summary_file{.name = "summary-file",
                                   .kind = OptionKind::Path,
                                   .about = "The summary (the title), read from a file"};
// Remembered, and read after the other options.
constexpr OptionDef k_content_file{.name = "content-file",
                                   .kind = OptionKind::Text,
                                   .about = "The content, read from a file (1 to 65536 bytes)",
                                   .value_name = "path"};
constexpr OptionDef k_embeddings_file{.name = "embeddings-file",
                                      .kind = OptionKind::Path,
                                      .about = "The embedding, read from a file"};
constexpr OptionDef k_embedding_model{.name = "embedding-model",
                                      .kind = OptionKind::Text,
                                      .about = "Name of the model that made the embedding",
                                      .value_name = "name"};
constexpr OptionDef k_refused_embeddings{.name = "embeddings",
                                         .kind = OptionKind::Refused,
                                         .alternative = "--embeddings-file PATH or --json"};

constexpr std::string_view k_status_about = "draft (the default), active or archived";

constexpr OptionDef k_text_create_options[] = {
    k_summary_file,
    k_content_file,
    {.name = "status",
     .kind = OptionKind::Text,
     .about = k_status_about,
     .value_name = "status",
     .choices = k_statuses},
    k_embeddings_file,
    k_embedding_model,
    {.name = "json", .about = "Read one JSON object from standard input instead"},
    {.name = "summary",
     .kind = OptionKind::Refused,
     .alternative = "--summary-file PATH or --json"},
    {.name = "content",
     .kind = OptionKind::Refused,
     .alternative = "--content-file PATH or --json"},
    k_refused_embeddings,
};

constexpr OptionDef k_text_get_options[] = {
    {.name = "full", .about = "Print the content too"},
    {.name = "json", .about = "Print the whole entry as JSON, undecrypted"},
    k_exact,
    k_fuzzy,
    k_id_option,
};

// The status of an update is checked as soon as it is read, before anything else.
constexpr OptionDef k_text_update_options[] = {
    k_summary_file,
    k_content_file,
    {.name = "status",
     .kind = OptionKind::Text,
     .check = check_status,
     .about = k_status_about,
     .value_name = "status",
     .choices = k_statuses},
    k_embeddings_file,
    k_embedding_model,
    k_exact,
    k_fuzzy,
    k_id_option,
    {.name = "summary", .kind = OptionKind::Refused, .alternative = "--summary-file PATH"},
    {.name = "content", .kind = OptionKind::Refused, .alternative = "--content-file PATH"},
    k_refused_embeddings,
};

constexpr OptionDef k_text_search_options[] = {
    {.name = "vector-file",
     .kind = OptionKind::Path,
     .about = "The query embedding (base64), read from a file"},
    {.name = "limit",
     .kind = OptionKind::Text,
     .check = check_search_limit,
     .about = "At most N hits, 1 to 50 (default 10)",
     .value_name = "N"},
    {.name = "vector",
     .kind = OptionKind::Refused,
     .alternative = "--vector-file PATH or stdin via --vector-file -"},
};

// One list per kind: only the missing-query hints of get and delete name the kind. Create,
// update and search load the configuration once their input has passed its checks; get and
// delete have nothing to check but the query.
constexpr std::array<CommandDef, 5> text_entry_subcommands(std::string_view get_missing,
                                                           std::string_view delete_missing) {
    return {{
        {.name = "create",
         .help = {.summary = "Create an entry"},
         .usage = k_usage_text_create,
         .options = k_text_create_options,
         .needs = Needs::ConfigOnDemand,
         .run = run_text_create},
        {.name = "get",
         .help = {.summary = "Show an entry"},
         .usage = k_usage_text_get,
         .options = k_text_get_options,
         .positional = {"query", get_missing},
         .needs = Needs::Config,
         .run = run_text_get},
        {.name = "update",
         .help = {.summary = "Change an entry"},
         .usage = k_usage_text_update,
         .options = k_text_update_options,
         .positional = {"query", "missing <query>"},
         .needs = Needs::ConfigOnDemand,
         .run = run_text_update},
        {.name = "delete",
         .help = {.summary = "Delete an entry"},
         .usage = k_usage_text_delete,
         .options = k_exactness_options,
         .positional = {"query", delete_missing},
         .needs = Needs::Config,
         .run = run_text_delete},
        {.name = "search",
         .help = {.summary = "List the entries nearest to an embedding"},
         .usage = k_usage_text_search,
         .options = k_text_search_options,
         .needs = Needs::ConfigOnDemand,
         .run = run_text_search},
    }};
}

constexpr auto k_note_subcommands =
    text_entry_subcommands("missing <query> (try: tessarin-cli note get \"title\")",
                           "missing <query> (try: tessarin-cli note delete \"title\")");
constexpr auto k_memory_subcommands =
    text_entry_subcommands("missing <query> (try: tessarin-cli memory get \"title\")",
                           "missing <query> (try: tessarin-cli memory delete \"title\")");

std::string unknown_text_subcommand(std::string_view command, std::string_view word) {
    return "unknown " + std::string(command) + " subcommand '" + std::string(word) +
           "' (try: create, get, update, delete, search)";
}

// -- skill -------------------------------------------------------------------------------------

constexpr CommandDef k_skill_subcommands[] = {
    {.name = "print",
     .help = {.summary = "Write the skill document to standard output"},
     .run = run_skill_print},
    {.name = "install",
     .help = {.summary = "Install the skill document into the detected agent environments"},
     .run = run_skill_install},
};

std::string unknown_skill_subcommand(std::string_view, std::string_view word) {
    return "unknown skill subcommand '" + std::string(word) + "' (use: print, install)";
}

// -- the table ------------------------------------------------------------------------------------

// Compared exactly and case-sensitively; listed by the help text in this order.
const CommandDef k_commands[] = {
    {.name = "init",
     .help = {.args = "[blob]",
              .summary = "Enroll from a sealed enrollment blob.",
              .notes = "Reads stdin if no arg. Key prompted (never on argv).\n"
                       "Pipe: printf '%s\\n%s\\n' BLOB KEY | tessarin-cli init"},
     .usage = k_usage_init,
     .positional = {"blob", {}, true},
     .run = run_init},
    // Reads the configuration itself, and talks to no vault.
    {.name = "status",
     .help = {.args = "[--json]",
              .summary = "Show the vault and agent this host is enrolled with."},
     .usage = k_usage_status,
     .options = k_status_options,
     .needs = Needs::ConfigOnDemand,
     .run = run_status},
    {.name = "get",
     .help = {.args = "<query>",
              .summary = "Fetch any entry by exact title (case-insensitive).",
              .notes = "Works with all entry types in the vault.\n"
                       "Options: --field <label>, --json, --fuzzy, --type <t>\n"
                       "--exact (default), --id <id> (in place of <query>)"},
     .usage = k_usage_get,
     .options = k_get_options,
     .positional = {"query", "missing <query> (try: tessarin-cli get OpenAI)"},
     .needs = Needs::Config,
     .run = run_get},
    {.name = "find",
     .help = {.args = "<name>",
              .summary = "List exact titles matching a name (\u22654 chars).",
              .notes = "Titles and types only, never values. Options: --type <t>\n"
                       "--json (titles, types and ids as JSON)"},
     .usage = k_usage_find,
     .options = k_find_options,
     .positional = {"name", "missing <name> (try: tessarin-cli find openrouter)"},
     .needs = Needs::Config,
     .run = run_find},
    {.name = "delete",
     .help = {.args = "<query>",
              .summary = "Delete an entry by exact title.",
              .notes = "Options: --fuzzy, --exact (default), --id <id>"},
     .usage = k_usage_delete,
     .options = k_exactness_options,
     .positional = {"query", "missing <query>"},
     .needs = Needs::Config,
     .run = run_delete},
    {.name = "totp",
     .help = {.args = "<query>",
              .summary = "Print the current TOTP code.",
              .notes = "Options: --fuzzy, --exact (default), --id <id>"},
     .usage = k_usage_totp,
     .options = k_exactness_options,
     .positional = {"query", "missing <query> (try: tessarin-cli totp GitHub)"},
     .needs = Needs::Config,
     .run = run_totp},
    // The configuration only when the template holds a reference.
    {.name = "render",
     .help = {.args = "<file>",
              .summary = "Resolve tessarin:// references in a file.",
              .notes = "Use - for stdin."},
     .usage = k_usage_render,
     .positional = {"file", "missing <file> (try: tessarin-cli render config.json)", false, true},
     .needs = Needs::ConfigOnDemand,
     .run = run_render},
    {.name = "audit",
     .help = {.summary = "View the vault's audit trail.",
              .notes = "Options: --actor, --action, --entry, --since,\n"
                       "--until, --limit, --json"},
     .usage = k_usage_audit,
     .options = k_audit_options,
     .needs = Needs::Config,
     .run = run_audit},
    // Its options depend on the entry type it reads, so it reads them itself; the
    // configuration once its input has passed every check.
    {.name = "put",
     .help = {.args = "<type> <title> [opts]",
              .summary = "Create a new entry. Same title as an existing row is a second entry, "
                         "not an overwrite.",
              .notes =
                  "Secret fields (tier\u22652: password, cvv, \u2026) use --<field>-file PATH\n"
                  "(PATH may be - for stdin) \u2014 never on argv. Non-secrets: --username.\n"
                  "Or: put --json  with a JSON object on stdin (bounded).\n"
                  "Every entry type works (tessarin-cli --show-schema lists their\n"
                  "fields); other fields: --<field> VALUE; any type: --urls URL.\n"
                  "--generate FIELD makes a secret here [--length N] [--charset LIST]\n"
                  "[--print-generated: the value alone on stdout, OK on stderr].",
              .notes_at_margin = true},
     .usage = k_usage_put,
     .needs = Needs::ConfigOnDemand,
     .run = run_put,
     .reads_own_arguments = true},
    // Its field options depend on the entry it fetches, so it reads them itself; the
    // configuration once they have passed every check.
    {.name = "edit",
     .help = k_help_edit,
     .usage = k_usage_edit,
     .options = k_edit_options,
     .positional = k_edit_positional,
     .needs = Needs::ConfigOnDemand,
     .run = run_edit,
     .reads_own_arguments = true},
    // One implementation; the kind is the command word.
    {.name = "note",
     .help = {.args = "<sub> [opts]", .summary = "Rich text entries with L2-encrypted content."},
     .usage = k_usage_text_entries,
     .subcommands =
         SubcommandDef{SubcommandDef::Read::Leading, k_note_subcommands, unknown_text_subcommand}},
    {.name = "memory",
     .help = {.args = "<sub> [opts]",
              .summary = "Agent-to-agent persistent context.",
              .notes = "Subcommands: create, get, update, delete, search\n"
                       "create: --summary-file, --content-file (or stdin); no secrets on argv\n"
                       "        --status draft|active|archived\n"
                       "        --embeddings-file PATH, --embedding-model <name>\n"
                       "        --json (read full JSON object from stdin)\n"
                       "update: <query> + any create flag to change [--fuzzy]\n"
                       "get: <query> [--full] [--json] [--fuzzy]\n"
                       "delete: <query> [--fuzzy]  |  search: --vector-file PATH [--limit N]\n"
                       "get, update, delete: --id <id> in place of <query>; --exact (default)",
              .notes_at_margin = true},
     .usage = k_usage_text_entries,
     .subcommands = SubcommandDef{SubcommandDef::Read::Leading, k_memory_subcommands,
                                  unknown_text_subcommand}},
    {.name = "skill",
     .help = {.args = "print | install [--yes]", .summary = "LLM skill markdown."},
     .usage = k_usage_skill,
     .options = k_skill_options,
     .positional = {"skill arg"},
     .subcommands = SubcommandDef{SubcommandDef::Read::Positional, k_skill_subcommands,
                                  unknown_skill_subcommand, &k_skill_subcommands[0]}},
    // The words version and help ignore the rest of the line.
    {.name = "version",
     .help = {.summary = "Print version and exit."},
     .run = run_version,
     .reads_own_arguments = true},
    {.name = "help",
     .help = {.summary = "This help."},
     .run = run_help,
     .reads_own_arguments = true},
};

}  // namespace

const CommandDef* find_command(std::string_view word) {
    for (const CommandDef& command : k_commands)
        if (command.name == word)
            return &command;
    return nullptr;
}

std::span<const CommandDef> command_list() {
    return k_commands;
}

std::span<const FirstOption> first_options() {
    return k_first_options;
}

}  // namespace tessarin
