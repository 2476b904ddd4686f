// The agent token (TSK format) that authenticates every gate request, and the request
// envelope that carries it: {"action":…,"cred":…,"content":…} behind the byte 0x10.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "crypto/core/catalogue.h"
#include "crypto/core/primitives.h"
#include "crypto/core/secret.h"

namespace tessarin {

// "tsk_" + 82 base64url characters of the 61-byte body + "." + 6 characters of the CRC.
inline constexpr size_t k_token_length = 93;
// The CRC-32 covers "tsk_" and the encoded body: the first 86 characters.
inline constexpr size_t k_token_checked_length = 86;
inline constexpr size_t k_token_body_length = 61;
inline constexpr uint8_t k_token_format = 0x02;
// First byte of every request and reply payload.
inline constexpr uint8_t k_payload_marker = 0x10;

// The key that seals the token body: HKDF-SHA256 of the vault id (8 bytes big-endian), no
// salt, info "tsk-envelope", 16 bytes.
SecretBytes token_envelope_key(uint64_t vault_id);

// Mints a fresh token (random nonce) carrying the L1 key (the first 8 bytes of the 16-byte L2
// key) and the 16-byte agent id. The text lives in a buffer that wipes itself: the token is
// a bearer credential. TS-0001 for an L2 key that is not 16 bytes, TS-0005 for an agent id
// that is not 16 bytes or a cipher failure, TS-0018 when the random source fails.
CoreResult<SecretBytes> mint_agent_token(uint64_t vault_id, ByteView l2_key, ByteView agent_id);

// The 114 action names the gate accepts, in the gate's own order.
extern const std::array<std::string_view, 114> k_action_names;
// Exact, case-sensitive membership in k_action_names.
bool is_accepted_action(std::string_view action);

// Why no request payload was built. detail is the whole text that follows the TS-2047 code:
// "encode args: <serialiser message>" or "encode request: TessarinError { … TS-0004 … }".
struct EnvelopeError {
    std::string detail;
};

// 0x10 followed by the compact envelope. content null means no "content" member; token
// nullopt means no "cred" member. Objects inside content keep their keys in ascending byte
// order. Refuses (in this order) content that cannot be serialised, an action outside the
// accepted list, and a token that is empty or lacks the "tsk_" prefix.
BasicResult<SecretBytes, EnvelopeError> build_request_payload(std::string_view action,
                                                              std::optional<std::string_view> token,
                                                              const nlohmann::json& content);

}  // namespace tessarin
