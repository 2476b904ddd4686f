// The TSR1 container that holds the configuration record on disk:
// "TSR1" || MAC(16) || nonce(12) || AES-128-GCM ciphertext || tag(16). The MAC is the first
// 16 bytes of HMAC-SHA256 over everything after it. Both keys are derived from one fixed
// constant, so the container guards against casual reading and detects corruption; access
// control rests on the file's mode.
#pragma once

#include <cstddef>

#include "crypto/core/catalogue.h"
#include "crypto/core/primitives.h"
#include "crypto/core/secret.h"

namespace tessarin {

inline constexpr size_t k_container_min_length = 4 + 16 + 12 + 16;

// The container encryption key: HKDF-SHA256(constant, no salt, "key", 16).
SecretBytes container_encryption_key();
// The container MAC key: HKDF-SHA256(constant, no salt, "hmac", 16).
SecretBytes container_mac_key();

// Checks length (TS-0008), magic (TS-0009) and MAC (TS-0003, over all 16 bytes in constant
// time), then opens the body (TS-0010, TS-0003, TS-0001, TS-0005 from aead_open).
CoreResult<SecretBytes> open_container(ByteView container);

// Seals plaintext under a fresh nonce; the output is allocated once at body length + 20.
CoreResult<Bytes> seal_container(ByteView plaintext);

}  // namespace tessarin
