// The text entries note and memory: one implementation whose kind is the command word ("note"
// or "memory"). Each entry keeps an L2-sealed summary (also its title) and content, a status,
// and optionally an embedding with the name of the model that made it, for similarity search.
// The sub-commands and their options are declared in the command table.
#pragma once

#include "src/base/errors.h"
#include "src/invocation/command.h"

namespace tessarin {

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
