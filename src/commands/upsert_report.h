// The success line of a command that wrote an entry (put, edit, memory and note create and
// update), and the values it generated. The vault has done its part before anything is
// written, so output that cannot be written must say what was done: a retry of a create would
// make a second entry.
#pragma once

#include <span>
#include <string_view>

#include "src/base/errors.h"
#include "src/commands/generated_secret.h"

namespace tessarin {

// print_ok of "Created: " or "Updated: " and the title, which may be a secret (the summary of
// a text entry): the line is built in a buffer that wipes itself. A failed write (other than a
// closed pipe, which ends the process quietly as every write does) is TS-2000 "the vault
// created the entry, but its confirmation could not be written to stdout: {} — running the
// command again would create a second entry" (or "updated the entry", without the warning).
//
// With values to print (--print-generated), standard output holds only them: the value alone
// when there is one, "FIELD<TAB>value" lines otherwise, and the success line goes to standard
// error. A value that cannot be written (a closed pipe included: it would be lost unseen) is
// TS-2000 saying the entry was written and where the value is kept; the value is never named.
Result<void> confirm_upsert(bool created, std::string_view title,
                            std::span<const GeneratedValue> printed = {});

}  // namespace tessarin
