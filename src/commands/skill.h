// skill: prints the embedded skill document, or installs it into the AI agent environments
// found under $HOME. Never reads the configuration and never talks to the vault.
#pragma once

#include <cstddef>
#include <string_view>

#include "src/base/errors.h"
#include "src/invocation/command.h"

namespace tessarin {

// skill print (also when no sub-command is named) and skill install [--yes].
Result<void> run_skill_print(Invocation& invocation);
Result<void> run_skill_install(Invocation& invocation);

// One answer to the install menu.
struct MenuChoice {
    enum class Kind { Skip, All, One, Invalid };
    Kind kind;
    size_t index = 0;  // for One: 0-based position among the detected environments
};

// Reads the line typed at the install menu, given how many environments were listed:
// empty, "s" or "S" skip; "a" or "A" mean all; "1".."N" (optionally "+2") pick one; anything
// else is invalid. Surrounding white space is ignored.
MenuChoice parse_menu_answer(std::string_view line, size_t detected);

}  // namespace tessarin
