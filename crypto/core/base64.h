// base64 (RFC 4648): the standard alphabet with padding, decoded strictly (padding present
// and canonical, unused trailing bits zero), and the URL-safe alphabet without padding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/secret.h"

namespace tessarin {

std::string base64_encode(std::span<const uint8_t> data);
std::string base64url_encode(std::span<const uint8_t> data);

// Strict standard base64 with padding; nullopt on any deviation.
std::optional<std::vector<uint8_t>> base64_decode(std::string_view text);
// URL-safe alphabet without padding, strict about trailing bits; nullopt on any deviation.
std::optional<std::vector<uint8_t>> base64url_decode(std::string_view text);
// The same decoders writing into a buffer that wipes itself (for secret inputs).
std::optional<SecretBytes> base64_decode_secret(std::string_view text);
std::optional<SecretBytes> base64url_decode_secret(std::string_view text);

std::string hex_encode(std::span<const uint8_t> data);
std::optional<std::vector<uint8_t>> hex_decode(std::string_view text);

}  // namespace tessarin
