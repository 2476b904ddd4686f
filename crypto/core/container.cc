#include "crypto/core/container.h"

#include <algorithm>
#include <string_view>

namespace tessarin {

namespace {

// The input key material of both container keys. Every installation shares it: files are
// readable by any program built with the same constant.
constexpr std::string_view k_container_constant = "tessarin-cfg";
static_assert(k_container_constant.size() == 12);

constexpr std::string_view k_magic = "TSR1";
constexpr size_t k_mac_length = 16;
constexpr size_t k_body_offset = 4 + k_mac_length;

}  // namespace

SecretBytes container_encryption_key() {
    return derive_key(as_bytes(k_container_constant), std::nullopt, as_bytes("key"), 16);
}

SecretBytes container_mac_key() {
    return derive_key(as_bytes(k_container_constant), std::nullopt, as_bytes("hmac"), 16);
}

CoreResult<SecretBytes> open_container(ByteView container) {
    if (container.size() < k_container_min_length)
        return CoreError(TS_0008);
    if (!std::equal(k_magic.begin(), k_magic.end(), container.begin()))
        return CoreError(TS_0009);
    const ByteView mac = container.subspan(4, k_mac_length);
    const ByteView body = container.subspan(k_body_offset);
    Bytes expected = TRY(hmac_sha256(container_mac_key().expose_secret(), body));
    if (expected.size() < k_mac_length)
        return CoreError(TS_0005);
    if (!constant_time_equal(ByteView(expected).first(k_mac_length), mac))
        return CoreError(TS_0003);
    return aead_open(container_encryption_key().expose_secret(), body);
}

CoreResult<Bytes> seal_container(ByteView plaintext) {
    Bytes body = TRY(aead_seal(container_encryption_key().expose_secret(), plaintext));
    Bytes mac = TRY(hmac_sha256(container_mac_key().expose_secret(), body));
    if (mac.size() < k_mac_length)
        return CoreError(TS_0005);
    Bytes out;
    out.reserve(body.size() + k_body_offset);
    out.insert(out.end(), k_magic.begin(), k_magic.end());
    out.insert(out.end(), mac.begin(), mac.begin() + k_mac_length);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace tessarin
