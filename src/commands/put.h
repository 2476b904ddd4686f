// put: creates a vault entry of one of the schema's types from options or from a JSON object on
// standard input. Secret values never come from the command line and are sealed with the
// agent's L2 key before anything leaves the process.
#pragma once

#include <cstdint>
#include <string_view>

#include "src/command.h"
#include "src/entry_schema.h"

namespace tessarin {

// Whether a field name or label names a secret ("password", "api_key", "pin", ...; never
// "public_key" or "key_type").
bool looks_secret(std::string_view name);

// 2 when the definition's tier is above 1 or the name or its label looks secret; otherwise the
// definition's tier.
uint8_t effective_tier(std::string_view name, const FieldDef& def);

// put <type> <title> [--<field> VALUE] [--<field>-file PATH] [--urls URL], or put --json.
// Reads its own arguments: which options exist depends on the type.
Result<void> run_put(Invocation& invocation);

}  // namespace tessarin
