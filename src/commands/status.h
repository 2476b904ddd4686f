// status: which vault and agent this host is enrolled with, read from the configuration file
// without contacting the vault.
#pragma once

#include "src/invocation/command.h"

namespace tessarin {

inline constexpr std::string_view k_usage_status =
    "Usage: tessarin-cli status [--json]\n"
    "  Shows the configuration file, the vault, the replica (if any), the vault id and the\n"
    "  agent this host is enrolled with, without contacting the vault. --json: as JSON.\n";
inline constexpr HelpEntry k_help_status{
    .args = "[--json]", .summary = "Show the vault and agent this host is enrolled with."};
inline constexpr OptionDef k_status_json{.name = "json",
                                         .about = "Print the same as a JSON object"};
inline constexpr OptionDef k_status_options[] = {k_status_json};

// status [--json]: the configuration path, the vault URL, the replica in use (if any), the
// vault id and the shortened agent id, as init shows them, or the same as a JSON object.
Result<void> run_status(Invocation& invocation);

}  // namespace tessarin
