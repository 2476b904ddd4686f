// The text entries note and memory: one implementation whose kind is the command word ("note"
// or "memory"). Each entry keeps an L2-sealed summary (also its title) and content, a status,
// and optionally an embedding with the name of the model that made it, for similarity search.
// Their usage texts, help entries and options are declared here, the sub-command lists in the
// command table.
#pragma once

#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/commands/lookup.h"
#include "src/commands/textentry_input.h"
#include "src/invocation/command.h"

namespace tessarin {

// -- usage texts and help entries -------------------------------------------------------------

// note and memory take the same sub-commands and options: one text serves both.
inline constexpr std::string_view k_usage_text_entries =
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

inline constexpr std::string_view k_usage_text_create =
    "Usage: tessarin-cli {note|memory} create --summary-file PATH [--content-file PATH]\n"
    "         [--status <status>] [--embeddings-file PATH --embedding-model <name>]\n"
    "       tessarin-cli {note|memory} create --json  (one JSON object on stdin)\n"
    "  Without --content-file the content is read from stdin (not a terminal); it is 1 to\n"
    "  65536 bytes. PATH - reads stdin. --status: draft (the default), active or archived.\n"
    "  The JSON object holds \"summary\", \"content\" and optionally \"status\", \"embeddings\"\n"
    "  and \"embedding_model\".\n";

inline constexpr std::string_view k_usage_text_get =
    "Usage: tessarin-cli {note|memory} get <query> [--full] [--json] [--fuzzy]\n"
    "  Prints the summary and the status; --full the content too; --json the whole entry as\n"
    "  the vault sent it (undecrypted). Title match is exact by default (--exact); --fuzzy\n"
    "  allows substring. --id <id> names the entry by its identifier in place of <query>.\n";

inline constexpr std::string_view k_usage_text_update =
    "Usage: tessarin-cli {note|memory} update <query> [--summary-file PATH] [--content-file PATH]\n"
    "         [--status <status>] [--embeddings-file PATH] [--embedding-model <name>] [--fuzzy]\n"
    "  Changes what the options give and keeps everything else. PATH - reads stdin.\n"
    "  --status: draft, active or archived. Title match is exact by default (--exact);\n"
    "  --fuzzy allows substring. --id <id> names the entry by its identifier in place of "
    "<query>.\n";

inline constexpr std::string_view k_usage_text_delete =
    "Usage: tessarin-cli {note|memory} delete <query> [--fuzzy]\n"
    "  Deletes the entry. Title match is exact by default (--exact); --fuzzy allows substring.\n"
    "  --id <id> names the entry by its identifier in place of <query>.\n";

inline constexpr std::string_view k_usage_text_search =
    "Usage: tessarin-cli {note|memory} search --vector-file PATH [--limit N]\n"
    "  Lists the entries nearest to the embedding (base64) read from PATH (- for stdin), at\n"
    "  most N (1 to 50, default 10): id, distance, [model] and summary, one line each.\n";

inline constexpr HelpEntry k_help_note{.args = "<sub> [opts]",
                                       .summary = "Rich text entries with L2-encrypted content."};
inline constexpr HelpEntry k_help_memory{
    .args = "<sub> [opts]",
    .summary = "Agent-to-agent persistent context.",
    .notes =
        "Subcommands: create, get, update, delete, search\n"
        "create: --summary-file, --content-file (or stdin); no secrets on argv\n"
        "        --status draft|active|archived\n"
        "        --embeddings-file PATH, --embedding-model <name>\n"
        "        --json (read full JSON object from stdin)\n"
        "update: <query> + any create flag to change [--fuzzy]\n"
        "get: <query> [--full] [--json] [--fuzzy]\n"
        "delete: <query> [--fuzzy]  |  search: --vector-file PATH [--limit N]\n"
        "get, update, delete: --id <id> in place of <query>; --exact (default)",
    .notes_at_margin = true};
inline constexpr HelpEntry k_help_text_create{.summary = "Create an entry"};
inline constexpr HelpEntry k_help_text_get{.summary = "Show an entry"};
inline constexpr HelpEntry k_help_text_update{.summary = "Change an entry"};
inline constexpr HelpEntry k_help_text_delete{.summary = "Delete an entry"};
inline constexpr HelpEntry k_help_text_search{.summary =
                                                  "List the entries nearest to an embedding"};

// -- options -----------------------------------------------------------------------------------

inline constexpr OptionDef k_summary_file{.name = "summary-file",
                                          .kind = OptionKind::Path,
                                          .about = "The summary (the title), read from a file"};
// Remembered, and read after the other options.
inline constexpr OptionDef k_content_file{
    .name = "content-file",
    .kind = OptionKind::Text,
    .about = "The content, read from a file (1 to 65536 bytes)",
    .value_name = "path"};
inline constexpr OptionDef k_embeddings_file{.name = "embeddings-file",
                                             .kind = OptionKind::Path,
                                             .about = "The embedding, read from a file"};
inline constexpr OptionDef k_embedding_model{.name = "embedding-model",
                                             .kind = OptionKind::Text,
                                             .about = "Name of the model that made the embedding",
                                             .value_name = "name"};
inline constexpr OptionDef k_refused_embeddings{.name = "embeddings",
                                                .kind = OptionKind::Refused,
                                                .alternative = "--embeddings-file PATH or --json"};

inline constexpr std::string_view k_status_about = "draft (the default), active or archived";

// create: the status is checked with the other values, once they are complete.
inline constexpr OptionDef k_create_status{.name = "status",
                                           .kind = OptionKind::Text,
                                           .about = k_status_about,
                                           .value_name = "status",
                                           .choices = k_statuses};
inline constexpr OptionDef k_create_json{
    .name = "json", .about = "Read one JSON object from standard input instead"};
inline constexpr OptionDef k_text_create_options[] = {
    k_summary_file,
    k_content_file,
    k_create_status,
    k_embeddings_file,
    k_embedding_model,
    k_create_json,
    {.name = "summary",
     .kind = OptionKind::Refused,
     .alternative = "--summary-file PATH or --json"},
    {.name = "content",
     .kind = OptionKind::Refused,
     .alternative = "--content-file PATH or --json"},
    k_refused_embeddings,
};

inline constexpr OptionDef k_text_full{.name = "full", .about = "Print the content too"};
inline constexpr OptionDef k_text_get_json{.name = "json",
                                           .about = "Print the whole entry as JSON, undecrypted"};
inline constexpr OptionDef k_text_get_options[] = {
    k_text_full, k_text_get_json, k_exact, k_fuzzy, k_id_option,
};

// update: the status is checked as soon as it is read, before anything else.
inline constexpr OptionDef k_update_status{.name = "status",
                                           .kind = OptionKind::Text,
                                           .check = check_status,
                                           .about = k_status_about,
                                           .value_name = "status",
                                           .choices = k_statuses};
inline constexpr OptionDef k_text_update_options[] = {
    k_summary_file,
    k_content_file,
    k_update_status,
    k_embeddings_file,
    k_embedding_model,
    k_exact,
    k_fuzzy,
    k_id_option,
    {.name = "summary", .kind = OptionKind::Refused, .alternative = "--summary-file PATH"},
    {.name = "content", .kind = OptionKind::Refused, .alternative = "--content-file PATH"},
    k_refused_embeddings,
};

inline constexpr OptionDef k_vector_file{.name = "vector-file",
                                         .kind = OptionKind::Path,
                                         .about = "The query embedding (base64), read from a file"};
inline constexpr OptionDef k_search_limit{.name = "limit",
                                          .kind = OptionKind::Text,
                                          .check = check_search_limit,
                                          .about = "At most N hits, 1 to 50 (default 10)",
                                          .value_name = "N"};
inline constexpr OptionDef k_text_search_options[] = {
    k_vector_file,
    k_search_limit,
    {.name = "vector",
     .kind = OptionKind::Refused,
     .alternative = "--vector-file PATH or stdin via --vector-file -"},
};

// -- positional arguments ----------------------------------------------------------------------

// Only the missing-query hints of get and delete name the kind.
inline constexpr PositionalDef k_note_get_positionals[] = {
    {.name = "query", .missing = "missing <query> (try: tessarin-cli note get \"title\")"}};
inline constexpr PositionalDef k_note_delete_positionals[] = {
    {.name = "query", .missing = "missing <query> (try: tessarin-cli note delete \"title\")"}};
inline constexpr PositionalDef k_memory_get_positionals[] = {
    {.name = "query", .missing = "missing <query> (try: tessarin-cli memory get \"title\")"}};
inline constexpr PositionalDef k_memory_delete_positionals[] = {
    {.name = "query", .missing = "missing <query> (try: tessarin-cli memory delete \"title\")"}};
inline constexpr PositionalDef k_text_update_positionals[] = {
    {.name = "query", .missing = "missing <query>"}};

// TS-2000 detail for a word that names no sub-command of note or memory.
std::string unknown_text_subcommand(std::string_view command, std::string_view word);

// -- the sub-commands --------------------------------------------------------------------------

// create: from --summary-file and --content-file (or standard input), or from one JSON object
// on standard input with --json. Prints "Created: " or "Updated: " and the summary.
Result<void> run_text_create(Invocation& invocation);
// get <query>: the summary and the status, with --full the content too; with --json the entry
// as the vault sent it.
Result<void> run_text_get(Invocation& invocation);
// update <query>: each value the options give replaces the entry's, the rest is kept.
Result<void> run_text_update(Invocation& invocation);
// delete <query>.
Result<void> run_text_delete(Invocation& invocation);
// search --vector-file PATH [--limit N]: the entries nearest to the embedding, one line each.
Result<void> run_text_search(Invocation& invocation);

}  // namespace tessarin
