// The gate's reply: the payload of Noise message 2 is the byte 0x10 and a JSON `Reply`
// {"ok":…,"result":…,"error":{"code":…,"message":…}}. Both objects are closed (unknown or
// repeated keys are refused) and are also accepted in array form.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "crypto/core/catalogue.h"
#include "crypto/core/primitives.h"

namespace tessarin {

// Containers a reply may hold inside one another, the Reply itself included. Real replies
// nest a handful deep (reply, result, entry, data, fields, field); 128 or more is refused,
// the limit common JSON readers keep.
inline constexpr size_t k_max_reply_nesting = 127;

struct ReplyError {
    std::string code;
    std::string message;
};

struct Reply {
    bool ok = false;
    nlohmann::json result;  // null when absent or null
    std::optional<ReplyError> error;
};

// TS-0004 for a payload longer than max_payload, a first byte other than 0x10 or JSON that is
// not a Reply (nested too deep included); TS-0010 for an empty payload.
CoreResult<Reply> decode_reply(ByteView payload, size_t max_payload);

}  // namespace tessarin
