// The entry body that note and memory create and update send: the summary (also the title) and
// the content sealed with the agent's L2 key, the status, the embedding and its model, and for
// an update what the entry held besides.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

#include "crypto/core/json_text.h"
#include "crypto/core/primitives.h"
#include "src/base/errors.h"
#include "src/commands/textentry_input.h"
#include "src/gate/records.h"

namespace tessarin {

// An entry's data block as received: its members other than fields, title and type, and its
// fields, each as received (object or array form, a tier-2 value the ciphertext it was), in
// their order, which is the order read_entry read them in.
struct ReceivedData {
    nlohmann::json members = nlohmann::json::object();
    nlohmann::json fields = nlohmann::json::array();
};
// The data block of the result `raw` (under "data" or "vault_data", or the array form's
// fourth member); empty when it has none.
ReceivedData received_data_block(const nlohmann::json& raw);

// TS-2048 for a rewrite of an entry holding the L3 field `label`: it arrives without its
// value, so sending the entry back would erase it.
CliError holds_l3_field(std::string_view label);

// What an update keeps of the entry it rewrites: the members of its data block other than
// fields, title and type, and the fields it does not write, in their order, each as received
// (a tier-2 value stays the ciphertext it was).
struct KeptByUpdate {
    nlohmann::json data = nlohmann::json::object();
    nlohmann::json fields = nlohmann::json::array();
};

// What an update keeps of `entry`, read from the result `raw` it was read from. A field of
// tier 3 or more arrives without its value, so sending it back would erase it: such an entry
// is refused (TS-2048).
Result<KeptByUpdate> kept_by_update(const Entry& entry, const nlohmann::json& raw);

// The body of an "entry.upsert" of a text entry. Its title, on the body and on its data block,
// is the summary in plain text: the body wipes its strings when it goes.
using TextEntryBody = SecretJson;

// The body of an "entry.upsert" of the kind ("note" or "memory"): fields summary and content
// (sealed, tier 2), status, then embeddings and embedding_model when given (tier 1), then the
// kept fields; the kept members of the data block; the id of the entry an update rewrites.
// A failure to seal is TS-2081 "encrypting summary: …" or "encrypting content: …".
Result<TextEntryBody> text_entry_body(ByteView l2, std::string_view kind,
                                      const TextEntryValues& values, const KeptByUpdate& kept = {},
                                      std::optional<std::string_view> id = std::nullopt);

}  // namespace tessarin
