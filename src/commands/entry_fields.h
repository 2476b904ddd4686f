// What the commands share about an entry's fields: completing the list with the notes and
// URLs of the data block, finding a field by label, reading a field's value (get, render) and
// sealing a secret one (put, note and memory).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/catalogue.h"
#include "crypto/core/primitives.h"
#include "crypto/core/secret.h"
#include "src/base/errors.h"
#include "src/gate/records.h"

namespace tessarin {

// The data block's fields, plus "notes" (tier 2) when the block has notes and no field is
// labelled so, plus "url" (tier 1, the URLs joined with ", ") when with_url is set, the block
// has URLs and no field is labelled so.
std::vector<Field> completed_fields(const EntryData& data, bool with_url);

// The first field whose label equals label ignoring ASCII case, or nullptr.
const Field* find_field(const std::vector<Field>& fields, std::string_view label);

// The value to use: tier 2 with a non-empty value is decrypted with the L2 key, anything
// else is the stored value. Callers refuse tier 3 and above before asking.
CoreResult<SecretBytes> field_value(const Field& field, ByteView l2_key);

// A secret value sealed with the L2 key under its field's label, as a tier-2 field carries it.
// TS-2081 "encrypting {label}: {inner error}" when sealing fails.
Result<std::string> sealed_value(ByteView l2_key, std::string_view label,
                                 const SecretBytes& plaintext);

}  // namespace tessarin
