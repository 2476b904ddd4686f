// The command table: every command word, what it reads and what it needs.
#pragma once

#include <string_view>

#include "src/command.h"

namespace tessarin {

// The command named exactly (case-sensitively) by word, or nullptr. No aliases, no
// abbreviations.
const CommandDef* find_command(std::string_view word);

}  // namespace tessarin
