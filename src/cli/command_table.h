// The command table: every command word, what it reads and what it needs.
#pragma once

#include <span>
#include <string_view>

#include "src/invocation/command.h"

namespace tessarin {

// The command named exactly (case-sensitively) by word, or nullptr. No aliases, no
// abbreviations.
const CommandDef* find_command(std::string_view word);

// Every command, in the order the help text lists them.
std::span<const CommandDef> command_list();

// An option recognised only as the first argument (-V, --version, ...).
struct FirstOption {
    char short_name = 0;  // 0: none
    std::string_view name;
    std::string_view summary;
    void (*run)() = nullptr;
};
std::span<const FirstOption> first_options();

}  // namespace tessarin
