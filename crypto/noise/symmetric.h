// The Noise symmetric state of one handshake (chaining key ck, handshake hash h and the
// AES-256-GCM cipher state k, n) and the X25519 operations the handshake runs on.
// Functions carry the names the Noise framework gives them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/core/catalogue.h"
#include "crypto/core/primitives.h"
#include "crypto/core/secret.h"

namespace tessarin::noise {

inline constexpr size_t kDhSize = 32;    // X25519 keys and shared secrets
inline constexpr size_t kHashSize = 32;  // SHA-256
inline constexpr size_t kTagSize = 16;   // AES-GCM

using PublicKey = std::array<uint8_t, kDhSize>;

// ck, h, k, n of one exchange; owned by it, never shared, wiped when dropped.
class SymmetricState {
  public:
    // InitializeSymmetric: h = the protocol name padded with zeros to 32 bytes (its SHA-256
    // when longer), ck = h, no cipher key.
    explicit SymmetricState(std::string_view protocol_name);

    // h = SHA-256(h || data).
    void MixHash(ByteView data);
    // ck || k = HKDF-SHA256(salt ck, input key material, empty info, 64 bytes); n = 0.
    void MixKey(ByteView input_key_material);
    // Appends c = AES-256-GCM(k, nonce n, associated data h, plaintext) || tag to out, then
    // n += 1 and MixHash(c). TS-0005 without a cipher key, with the nonces used up, or on a
    // cipher failure.
    CoreResult<void> EncryptAndHash(ByteView plaintext, Bytes& out);
    // Opens c under k, nonce n and associated data h; only once the tag verifies are n and h
    // advanced (MixHash of c). TS-0005 without a cipher key, TS-0010 shorter than the tag,
    // TS-0003 tag mismatch.
    CoreResult<SecretBytes> DecryptAndHash(ByteView ciphertext);

    bool has_key() const { return m_has_key; }
    // The handshake hash h (for known-answer checks; the gate exchange binds nothing to it).
    ByteView handshake_hash() const { return m_h.expose_secret(); }

  private:
    std::array<uint8_t, 12> nonce() const;

    SecretBytes m_ck;
    SecretBytes m_h;
    SecretBytes m_k;
    uint64_t m_n = 0;
    bool m_has_key = false;
};

// X25519 of the clamped private key with a public key (the top bit of the public key's last
// byte is ignored). TS-0027 when the shared secret is all zeros (a zero or low-order public
// key), TS-0005 for a key that is not 32 bytes or a library failure.
CoreResult<SecretBytes> dh(ByteView private_key, ByteView public_key);

// The X25519 public key of a 32-byte private key. TS-0005 on a bad length or library failure.
CoreResult<PublicKey> derive_public_key(ByteView private_key);

}  // namespace tessarin::noise
