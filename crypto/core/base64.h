// base64 (RFC 4648): the standard alphabet with padding, decoded strictly (padding present
// and canonical, unused trailing bits zero), and the URL-safe alphabet without padding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/result.h"
#include "crypto/core/secret.h"

namespace tessarin {

std::string base64_encode(std::span<const uint8_t> data);
std::string base64url_encode(std::span<const uint8_t> data);
// The URL-safe encoding appended to a buffer that wipes itself (for a token).
void base64url_encode_append(std::span<const uint8_t> data, SecretBytes& out);

// Strict standard base64 with padding; nullopt on any deviation.
std::optional<std::vector<uint8_t>> base64_decode(std::string_view text);
// URL-safe alphabet without padding, strict about trailing bits; nullopt on any deviation.
std::optional<std::vector<uint8_t>> base64url_decode(std::string_view text);
// The same decoders writing into a buffer that wipes itself (for secret inputs).
std::optional<SecretBytes> base64_decode_secret(std::string_view text);
std::optional<SecretBytes> base64url_decode_secret(std::string_view text);

// Why a base64 text was refused, with the position of the first fault (never its content
// beyond the one offending byte value).
struct Base64Fault {
    enum class Kind { InvalidByte, InvalidLength, InvalidLastSymbol, InvalidPadding };
    Kind kind = Kind::InvalidLength;
    size_t offset = 0;  // InvalidByte, InvalidLastSymbol: index into the text
    uint8_t byte = 0;   // InvalidByte, InvalidLastSymbol: the byte found there
    // "Invalid symbol 32, offset 5.", "Invalid input length.",
    // "Invalid last symbol 66, offset 3." or "Invalid padding".
    std::string message() const;
};

// Strict standard base64 with padding, like base64_decode, saying why a text is refused.
BasicResult<std::vector<uint8_t>, Base64Fault> base64_decode_checked(std::string_view text);

// Lower-case hexadecimal.
std::string hex_encode(std::span<const uint8_t> data);
// Either case; nullopt on an odd length or a non-hex character.
std::optional<std::vector<uint8_t>> hex_decode(std::string_view text);
// The same decoder writing into a buffer that wipes itself (for key material).
std::optional<SecretBytes> hex_decode_secret(std::string_view text);

}  // namespace tessarin
