// The success line of a command that wrote an entry (put, memory and note create and update).
// The vault has done its part before the line is written, so a line that cannot be written
// must say what was done: a retry of a create would make a second entry.
#pragma once

#include <string_view>

#include "src/base/errors.h"

namespace tessarin {

// print_ok of "Created: " or "Updated: " and the title, which may be a secret (the summary of
// a text entry): the line is built in a buffer that wipes itself. A failed write (other than a
// closed pipe, which ends the process quietly as every write does) is TS-2000 "the vault
// created the entry, but its confirmation could not be written to stdout: {} — running the
// command again would create a second entry" (or "updated the entry", without the warning).
Result<void> confirm_upsert(bool created, std::string_view title);

}  // namespace tessarin
