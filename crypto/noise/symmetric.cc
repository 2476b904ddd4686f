#include "crypto/noise/symmetric.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/proverr.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "crypto/core/openssl_ptr.h"

namespace tessarin::noise {

namespace {

// The last nonce value is reserved by Noise; a cipher key is spent before it is reached.
constexpr uint64_t kMaxNonce = std::numeric_limits<uint64_t>::max();

using Pkey = OpensslPtr<EVP_PKEY, EVP_PKEY_free>;

CoreError fail(const TessarinError& record) {
    ERR_clear_error();
    return CoreError(record);
}

// OR of all bytes, read without early exit.
bool all_zero(const uint8_t* data, size_t size) {
    volatile uint8_t acc = 0;
    for (size_t i = 0; i < size; ++i) acc = acc | data[i];
    return acc == 0;
}

}  // namespace

SymmetricState::SymmetricState(std::string_view protocol_name) : m_ck(kHashSize), m_h(kHashSize) {
    if (protocol_name.size() <= kHashSize)
        std::memcpy(m_h.expose_secret_mut().data(), protocol_name.data(), protocol_name.size());
    else
        sha256_concat(as_bytes(protocol_name), {},
                      std::span<uint8_t, kHashSize>(m_h.expose_secret_mut().data(), kHashSize));
    std::memcpy(m_ck.expose_secret_mut().data(), m_h.expose_secret_mut().data(), kHashSize);
}

void SymmetricState::MixHash(ByteView data) {
    uint8_t next[kHashSize];
    sha256_concat(m_h.expose_secret(), data, next);
    std::memcpy(m_h.expose_secret_mut().data(), next, kHashSize);
}

void SymmetricState::MixKey(ByteView input_key_material) {
    SecretBytes output = derive_key(input_key_material, m_ck.expose_secret(), {}, 2 * kHashSize);
    m_ck = SecretBytes(output.expose_secret().first(kHashSize));
    m_k = SecretBytes(output.expose_secret().subspan(kHashSize, kHashSize));
    m_n = 0;
    m_has_key = true;
}

std::array<uint8_t, 12> SymmetricState::nonce() const {
    // 32 zero bits, then the counter as a big-endian 64-bit number.
    std::array<uint8_t, 12> nonce{};
    for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<uint8_t>(m_n >> (56 - 8 * i));
    return nonce;
}

CoreResult<void> SymmetricState::EncryptAndHash(ByteView plaintext, Bytes& out) {
    // The IK pattern always has a key here: there is no plaintext pass-through.
    if (!m_has_key || m_n == kMaxNonce)
        return CoreError(TS_0005);
    const size_t start = out.size();
    auto nonce_bytes = nonce();
    TRY(aead_gcm_encrypt_ad(m_k.expose_secret(), nonce_bytes, m_h.expose_secret(), plaintext, out));
    ++m_n;
    MixHash(ByteView(out).subspan(start));
    return {};
}

CoreResult<SecretBytes> SymmetricState::DecryptAndHash(ByteView ciphertext) {
    if (ciphertext.size() < kTagSize)
        return CoreError(TS_0010);
    if (!m_has_key || m_n == kMaxNonce)
        return CoreError(TS_0005);
    auto nonce_bytes = nonce();
    SecretBytes plaintext =
        TRY(aead_gcm_decrypt_ad(m_k.expose_secret(), nonce_bytes, m_h.expose_secret(), ciphertext));
    // Only a verified ciphertext advances the state.
    ++m_n;
    MixHash(ciphertext);
    return plaintext;
}

void X25519Key::PkeyFree::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

void X25519Key::PkeyCtxFree::operator()(EVP_PKEY_CTX* ctx) const {
    EVP_PKEY_CTX_free(ctx);
}

CoreResult<X25519Key> X25519Key::from_private(ByteView private_key) {
    if (private_key.size() != kDhSize)
        return CoreError(TS_0005);
    // The key goes in raw: X25519 clamps the scalar at each multiplication. The library
    // keeps its copy in memory that it wipes when the key is freed.
    X25519Key key;
    key.m_key.reset(
        EVP_PKEY_new_raw_private_key_ex(nullptr, "X25519", nullptr, private_key.data(), kDhSize));
    size_t size = key.m_public.size();
    if (!key.m_key ||
        EVP_PKEY_get_raw_public_key(key.m_key.get(), key.m_public.data(), &size) != 1 ||
        size != key.m_public.size())
        return fail(TS_0005);
    key.m_derive.reset(EVP_PKEY_CTX_new_from_pkey(nullptr, key.m_key.get(), nullptr));
    if (!key.m_derive || EVP_PKEY_derive_init(key.m_derive.get()) != 1)
        return fail(TS_0005);
    return key;
}

CoreResult<SecretBytes> X25519Key::dh(ByteView public_key) {
    if (public_key.size() != kDhSize || !m_derive)
        return CoreError(TS_0005);
    // The top bit of the u-coordinate is ignored by X25519 itself.
    Pkey peer(
        EVP_PKEY_new_raw_public_key_ex(nullptr, "X25519", nullptr, public_key.data(), kDhSize));
    // The peer key is judged by the result of the multiplication below, not beforehand.
    if (!peer || EVP_PKEY_derive_set_peer_ex(m_derive.get(), peer.get(), 0) != 1)
        return fail(TS_0005);
    SecretBytes shared(kDhSize);
    size_t size = kDhSize;
    if (EVP_PKEY_derive(m_derive.get(), shared.expose_secret_mut().data(), &size) != 1) {
        // OpenSSL compares the result with zero itself (in constant time) and refuses an
        // all-zero secret with this reason; anything else is a library failure.
        unsigned long err = ERR_peek_last_error();
        bool zero = ERR_GET_LIB(err) == ERR_LIB_PROV &&
                    ERR_GET_REASON(err) == PROV_R_FAILED_DURING_DERIVATION;
        return fail(zero ? TS_0027 : TS_0005);
    }
    if (size != kDhSize)
        return fail(TS_0005);
    // A library that hands back the all-zero secret (a zero or low-order public key) is caught
    // here, without an early exit on the secret's bytes.
    if (all_zero(shared.expose_secret().data(), kDhSize))
        return CoreError(TS_0027);
    return shared;
}

CoreResult<SecretBytes> dh(ByteView private_key, ByteView public_key) {
    if (private_key.size() != kDhSize || public_key.size() != kDhSize)
        return CoreError(TS_0005);
    X25519Key key = TRY(X25519Key::from_private(private_key));
    return key.dh(public_key);
}

CoreResult<PublicKey> derive_public_key(ByteView private_key) {
    const X25519Key key = TRY(X25519Key::from_private(private_key));
    return key.public_key();
}

}  // namespace tessarin::noise
