// The cryptographic core: HKDF-SHA256 derivation, the AEAD message format
// (nonce(12) || ciphertext || tag(16), no associated data) and per-label L2 field encryption.
// Failures are bare catalogue records; callers add context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/catalogue.h"
#include "crypto/core/secret.h"

namespace tessarin {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline ByteView as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// HKDF-SHA256 (RFC 5869). No salt means 32 zero bytes. Lengths above 8160 bytes are a
// programming error and stop the program.
SecretBytes derive_key(ByteView ikm, std::optional<ByteView> salt, ByteView info, size_t length);

// Opens nonce || ciphertext || tag with AES-128-GCM (16-byte key) or AES-256-GCM (32-byte key).
// TS-0010 short message, TS-0001 key length, TS-0003 tag mismatch, TS-0005 cipher failure.
CoreResult<SecretBytes> aead_open(ByteView key, ByteView message);

// Seals under a fresh random nonce; the output is allocated once at plaintext + 28 bytes.
// TS-0001 key length, TS-0018 random source failure, TS-0005 cipher failure.
CoreResult<Bytes> aead_seal(ByteView key, ByteView plaintext);
// aead_seal into storage the caller owns (exactly plaintext + 28 bytes, else TS-0005), for a
// message that is itself secret, such as the agent token's body.
CoreResult<void> aead_seal_into(ByteView key, ByteView plaintext, std::span<uint8_t> out);

// The per-label field key: derive_key(l2, none, "tessarin-field-" + label, 32).
SecretBytes field_key(ByteView l2_key, std::string_view label);

// Decrypts a tier-2 value: strict padded standard base64 (TS-0002), aead_open under the
// field key (TS-0010, TS-0003), UTF-8 check (TS-0006). The plaintext is returned as bytes
// that wipe themselves.
CoreResult<SecretBytes> decrypt_field(ByteView l2_key, std::string_view label,
                                      std::string_view value);

// Encrypts a value under the field key and returns padded standard base64.
CoreResult<std::string> encrypt_field(ByteView l2_key, std::string_view label, ByteView plaintext);

// AES-GCM with an explicit 12-byte nonce and associated data, as the Noise cipher uses it
// (16- or 32-byte key). Appends ciphertext || tag(16) to out, growing it by plaintext + 16
// bytes (no reallocation when the caller reserved room).
// TS-0001 key length, TS-0005 nonce length or cipher failure.
CoreResult<void> aead_gcm_encrypt_ad(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                     Bytes& out);

// Opens ciphertext || tag(16) under an explicit nonce and associated data.
// TS-0010 shorter than the tag, TS-0001 key length, TS-0003 tag mismatch, TS-0005 nonce length
// or cipher failure. Nothing of the plaintext is released on failure.
CoreResult<SecretBytes> aead_gcm_decrypt_ad(ByteView key, ByteView nonce, ByteView ad,
                                            ByteView ciphertext);

// HMAC-SHA256 of data under key.
CoreResult<Bytes> hmac_sha256(ByteView key, ByteView data);

// SHA-256 digest.
Bytes sha256(ByteView data);

// Constant-time equality over the whole length (lengths themselves are not secret).
bool constant_time_equal(ByteView a, ByteView b);

}  // namespace tessarin
