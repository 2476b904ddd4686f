// status: which vault and agent this host is enrolled with, read from the configuration file
// without contacting the vault.
#pragma once

#include "src/invocation/command.h"

namespace tessarin {

// status [--json]: the configuration path, the vault URL, the replica in use (if any), the
// vault id and the shortened agent id, as init shows them, or the same as a JSON object.
Result<void> run_status(Invocation& invocation);

}  // namespace tessarin
