// skill: prints the embedded skill document, or installs it into the AI agent environments
// found under $HOME. Never reads the configuration and never talks to the vault.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/invocation/command.h"

namespace tessarin {

inline constexpr std::string_view k_usage_skill =
    "Usage: tessarin-cli skill {print|install} [--yes]\n"
    "  --yes  non-interactive install to all detected environments\n";
inline constexpr HelpEntry k_help_skill{.args = "print | install [--yes]",
                                        .summary = "LLM skill markdown."};
inline constexpr HelpEntry k_help_skill_print{.summary =
                                                  "Write the skill document to standard output"};
inline constexpr HelpEntry k_help_skill_install{
    .summary = "Install the skill document into the detected agent environments"};
inline constexpr OptionDef k_skill_yes{
    .name = "yes", .about = "Install to every detected environment without asking"};
inline constexpr OptionDef k_skill_options[] = {k_skill_yes};
// The sub-command word, read among the options.
inline constexpr PositionalDef k_skill_positionals[] = {{.name = "skill arg"}};

// TS-2000 detail for a word that names no sub-command of skill.
std::string unknown_skill_subcommand(std::string_view command, std::string_view word);

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
