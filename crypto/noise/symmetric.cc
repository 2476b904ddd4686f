#include "crypto/noise/symmetric.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/proverr.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace tessarin::noise {

namespace {

// The last nonce value is reserved by Noise; a cipher key is spent before it is reached.
constexpr uint64_t kMaxNonce = std::numeric_limits<uint64_t>::max();

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

CoreError fail(const TessarinError& record) {
    ERR_clear_error();
    return CoreError(record);
}

// SHA-256(a || b) into out (32 bytes) without joining the two inputs in memory.
void sha256_pair(ByteView a, ByteView b, uint8_t* out) {
    MdCtx ctx(EVP_MD_CTX_new());
    unsigned int size = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), a.data(), a.size()) != 1 ||
        EVP_DigestUpdate(ctx.get(), b.data(), b.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out, &size) != 1 || size != kHashSize) {
        // Hashing a few bytes in memory has no failure mode short of a broken library.
        std::fputs("SHA-256 failed\n", stderr);
        std::abort();
    }
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
        sha256_pair(as_bytes(protocol_name), {}, m_h.expose_secret_mut().data());
    std::memcpy(m_ck.expose_secret_mut().data(), m_h.expose_secret().data(), kHashSize);
}

void SymmetricState::MixHash(ByteView data) {
    uint8_t next[kHashSize];
    sha256_pair(m_h.expose_secret(), data, next);
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

CoreResult<SecretBytes> dh(ByteView private_key, ByteView public_key) {
    if (private_key.size() != kDhSize || public_key.size() != kDhSize)
        return CoreError(TS_0005);
    // Both keys go in raw: X25519 clamps the scalar at each multiplication and ignores the
    // top bit of the u-coordinate. OpenSSL keeps its copy of the private key in memory that it
    // wipes when the key is freed.
    Pkey priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), kDhSize));
    Pkey peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, public_key.data(), kDhSize));
    if (!priv || !peer)
        return fail(TS_0005);
    PkeyCtx ctx(EVP_PKEY_CTX_new(priv.get(), nullptr));
    // The peer key is judged by the result of the multiplication below, not beforehand.
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
        EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 0) != 1)
        return fail(TS_0005);
    SecretBytes shared(kDhSize);
    size_t size = kDhSize;
    if (EVP_PKEY_derive(ctx.get(), shared.expose_secret_mut().data(), &size) != 1) {
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

CoreResult<PublicKey> derive_public_key(ByteView private_key) {
    if (private_key.size() != kDhSize)
        return CoreError(TS_0005);
    Pkey priv(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, private_key.data(), kDhSize));
    PublicKey pub{};
    size_t size = pub.size();
    if (!priv || EVP_PKEY_get_raw_public_key(priv.get(), pub.data(), &size) != 1 ||
        size != pub.size())
        return fail(TS_0005);
    return pub;
}

}  // namespace tessarin::noise
