#include "crypto/core/primitives.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "crypto/core/base64.h"
#include "crypto/core/openssl_ptr.h"
#include "crypto/core/random.h"
#include "crypto/core/utf8.h"

namespace tessarin {

namespace {

constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
constexpr size_t kHkdfMaxLength = 255 * 32;
// GCM encrypts at most 2^32 - 2 blocks of one message.
constexpr uint64_t kGcmMaxText = (uint64_t(1) << 36) - 32;
// OpenSSL takes int lengths; longer inputs go through in slices of this size.
constexpr size_t kSlice = size_t(1) << 30;

[[noreturn]] void stop(const char* why) {
    std::fputs(why, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

// A failure inside OpenSSL leaves records in the thread's error queue; they would otherwise
// show up later in an unrelated TLS error.
CoreError fail(const TessarinError& record) {
    ERR_clear_error();
    return CoreError(record);
}

using CipherCtx = OpensslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MdCtx = OpensslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using MacCtx = OpensslPtr<EVP_MAC_CTX, EVP_MAC_CTX_free>;
using KdfCtx = OpensslPtr<EVP_KDF_CTX, EVP_KDF_CTX_free>;

// The algorithms of the core, fetched from the library once per process. Handing
// EVP_sha256() or EVP_aes_256_gcm() to an init function, calling HMAC() or fetching a KDF by
// name makes the library look the name up in its tables again at every operation; a fetched
// algorithm is used as it is. A member is null when its fetch failed, and every operation
// that needs it then fails.
struct Algorithms {
    EVP_MD* sha256 = nullptr;
    EVP_CIPHER* aes_128_gcm = nullptr;
    EVP_CIPHER* aes_256_gcm = nullptr;
    EVP_KDF* hkdf = nullptr;
    // HMAC with SHA-256 chosen and no key. Never used itself, only duplicated: a context
    // made from the MAC alone would look the digest up by name at every use.
    EVP_MAC_CTX* hmac_sha256 = nullptr;

    Algorithms() {
        sha256 = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
        aes_128_gcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
        aes_256_gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
        hkdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr);
        EVP_MAC* hmac = EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr);
        hmac_sha256 = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
        EVP_MAC_free(hmac);  // the context holds its own reference
        char digest[] = "SHA2-256";
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
            OSSL_PARAM_construct_end(),
        };
        if (hmac_sha256 && EVP_MAC_CTX_set_params(hmac_sha256, params) != 1) {
            EVP_MAC_CTX_free(hmac_sha256);
            hmac_sha256 = nullptr;
        }
        ERR_clear_error();
    }
    // Freed at exit. When the library cleans itself up at exit too, it registered that
    // earlier (the first fetch initialises it), so it runs after this.
    ~Algorithms() {
        EVP_MAC_CTX_free(hmac_sha256);
        EVP_KDF_free(hkdf);
        EVP_CIPHER_free(aes_256_gcm);
        EVP_CIPHER_free(aes_128_gcm);
        EVP_MD_free(sha256);
    }
    Algorithms(const Algorithms&) = delete;
    Algorithms& operator=(const Algorithms&) = delete;
};

// Fetched on first use (the commands that never touch a key never pay for it).
const Algorithms& algorithms() {
    static const Algorithms fetched;
    return fetched;
}

// A GCM context with the cipher chosen by key length but no key or nonce yet.
CoreResult<CipherCtx> gcm_context(size_t key_size, bool encrypt) {
    if (key_size != 16 && key_size != 32)
        return CoreError(TS_0001);
    const EVP_CIPHER* cipher = key_size == 16 ? algorithms().aes_128_gcm : algorithms().aes_256_gcm;
    if (!cipher)
        return fail(TS_0005);
    // 12 bytes is GCM's own nonce length: nothing to set.
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex2(ctx.get(), cipher, nullptr, nullptr, encrypt, nullptr) != 1 ||
        EVP_CIPHER_CTX_get_iv_length(ctx.get()) != int(kNonceSize))
        return fail(TS_0005);
    return ctx;
}

// Feeds associated data (out == nullptr) or text through the context in int-sized slices.
bool update(EVP_CIPHER_CTX* ctx, const uint8_t* in, size_t size, uint8_t* out) {
    while (size) {
        const size_t slice = std::min(size, kSlice);
        int written = 0;
        if (EVP_CipherUpdate(ctx, out, &written, in, int(slice)) != 1)
            return false;
        if (out && size_t(written) != slice)
            return false;
        in += slice;
        size -= slice;
        if (out)
            out += slice;
    }
    return true;
}

// Encrypts plaintext into ct (same length) and writes the tag, under a context from
// gcm_context(…, true).
CoreResult<void> gcm_seal(EVP_CIPHER_CTX* ctx, ByteView key, const uint8_t* nonce, ByteView ad,
                          ByteView plaintext, uint8_t* ct, uint8_t* tag) {
    if (plaintext.size() > kGcmMaxText)
        return CoreError(TS_0005);
    int final_size = 0;
    if (EVP_CipherInit_ex2(ctx, nullptr, key.data(), nonce, 1, nullptr) != 1 ||
        !update(ctx, ad.data(), ad.size(), nullptr) ||
        !update(ctx, plaintext.data(), plaintext.size(), ct) ||
        EVP_CipherFinal_ex(ctx, ct + plaintext.size(), &final_size) != 1 || final_size != 0 ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, int(kTagSize), tag) != 1)
        return fail(TS_0005);
    return {};
}

// Verifies the tag and decrypts ct into plaintext (same length), under a context from
// gcm_context(…, false). The caller drops plaintext on failure.
CoreResult<void> gcm_open(EVP_CIPHER_CTX* ctx, ByteView key, const uint8_t* nonce, ByteView ad,
                          ByteView ct, const uint8_t* tag, uint8_t* plaintext) {
    // A text longer than GCM can carry cannot have been sealed: it does not authenticate.
    if (ct.size() > kGcmMaxText)
        return CoreError(TS_0003);
    if (EVP_CipherInit_ex2(ctx, nullptr, key.data(), nonce, 0, nullptr) != 1 ||
        !update(ctx, ad.data(), ad.size(), nullptr) ||
        !update(ctx, ct.data(), ct.size(), plaintext) ||
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, int(kTagSize), const_cast<uint8_t*>(tag)) !=
            1)
        return fail(TS_0005);
    int final_size = 0;
    if (EVP_CipherFinal_ex(ctx, plaintext + ct.size(), &final_size) != 1)
        return fail(TS_0003);
    return {};
}

}  // namespace

SecretBytes derive_key(ByteView ikm, std::optional<ByteView> salt, ByteView info, size_t length) {
    // Every caller asks for 16, 32 or 64 bytes; more than HKDF can give is a programming error.
    if (length > kHkdfMaxLength)
        stop("HKDF expand failed despite length check");
    SecretBytes out(length);
    if (length == 0)
        return out;
    // No salt means HashLen zero bytes; pass them explicitly rather than rely on the library's
    // treatment of an absent salt.
    static constexpr uint8_t zero_salt[32] = {};
    static constexpr uint8_t empty[1] = {};
    ByteView salt_bytes = salt ? *salt : ByteView(zero_salt, sizeof zero_salt);
    auto param = [](const char* name, ByteView bytes) {
        // OpenSSL wants a non-null pointer even for empty octet strings.
        void* data = const_cast<uint8_t*>(bytes.empty() ? empty : bytes.data());
        return OSSL_PARAM_construct_octet_string(name, data, bytes.size());
    };
    // The digest goes in by name: this library's HKDF cannot be duplicated from a prepared
    // context, so its provider looks SHA-256 up once per derivation (the KDF itself is
    // fetched once).
    char digest[] = "SHA2-256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        param(OSSL_KDF_PARAM_KEY, ikm),
        param(OSSL_KDF_PARAM_SALT, salt_bytes),
        param(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    KdfCtx ctx(algorithms().hkdf ? EVP_KDF_CTX_new(algorithms().hkdf) : nullptr);
    // Freeing the context clears its copies of the key material.
    if (!ctx || EVP_KDF_derive(ctx.get(), out.expose_secret_mut().data(), length, params) != 1)
        stop("HKDF expand failed despite length check");
    return out;
}

CoreResult<SecretBytes> aead_open(ByteView key, ByteView message) {
    // The length is judged before the key is looked at.
    if (message.size() < kNonceSize + kTagSize)
        return CoreError(TS_0010);
    CipherCtx ctx = TRY(gcm_context(key.size(), false));
    const size_t text_size = message.size() - kNonceSize - kTagSize;
    ByteView ct = message.subspan(kNonceSize, text_size);
    SecretBytes plaintext(text_size);
    // One spare byte keeps the output pointer valid for an empty plaintext.
    uint8_t spare[1];
    uint8_t* out = text_size ? plaintext.expose_secret_mut().data() : spare;
    TRY(gcm_open(ctx.get(), key, message.data(), {}, ct, message.data() + kNonceSize + text_size,
                 out));
    return plaintext;
}

CoreResult<void> aead_seal_into(ByteView key, ByteView plaintext, std::span<uint8_t> out) {
    CipherCtx ctx = TRY(gcm_context(key.size(), true));
    if (out.size() != plaintext.size() + kNonceSize + kTagSize)
        return CoreError(TS_0005);
    if (random_fill(out.first(kNonceSize)).is_error())
        return CoreError(TS_0018);
    TRY(gcm_seal(ctx.get(), key, out.data(), {}, plaintext, out.data() + kNonceSize,
                 out.data() + kNonceSize + plaintext.size()));
    return {};
}

CoreResult<Bytes> aead_seal(ByteView key, ByteView plaintext) {
    Bytes out(plaintext.size() + kNonceSize + kTagSize);
    TRY(aead_seal_into(key, plaintext, out));
    return out;
}

CoreResult<void> aead_gcm_encrypt_ad(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                     Bytes& out) {
    CipherCtx ctx = TRY(gcm_context(key.size(), true));
    if (nonce.size() != kNonceSize)
        return CoreError(TS_0005);
    const size_t start = out.size();
    out.resize(start + plaintext.size() + kTagSize);
    auto sealed = gcm_seal(ctx.get(), key, nonce.data(), ad, plaintext, out.data() + start,
                           out.data() + start + plaintext.size());
    if (sealed.is_error()) {
        out.resize(start);
        return sealed.release_error();
    }
    return {};
}

CoreResult<SecretBytes> aead_gcm_decrypt_ad(ByteView key, ByteView nonce, ByteView ad,
                                            ByteView ciphertext) {
    if (ciphertext.size() < kTagSize)
        return CoreError(TS_0010);
    CipherCtx ctx = TRY(gcm_context(key.size(), false));
    if (nonce.size() != kNonceSize)
        return CoreError(TS_0005);
    const size_t text_size = ciphertext.size() - kTagSize;
    SecretBytes plaintext(text_size);
    uint8_t spare[1];
    uint8_t* out = text_size ? plaintext.expose_secret_mut().data() : spare;
    TRY(gcm_open(ctx.get(), key, nonce.data(), ad, ciphertext.first(text_size),
                 ciphertext.data() + text_size, out));
    return plaintext;
}

SecretBytes field_key(ByteView l2_key, std::string_view label) {
    std::string info = "tessarin-field-";
    info.append(label);
    return derive_key(l2_key, std::nullopt, as_bytes(info), 32);
}

CoreResult<SecretBytes> decrypt_field(ByteView l2_key, std::string_view label,
                                      std::string_view value) {
    auto message = base64_decode(value);
    if (!message)
        return CoreError(TS_0002);
    SecretBytes key = field_key(l2_key, label);
    SecretBytes plaintext = TRY(aead_open(key.expose_secret(), *message));
    if (!is_utf8(plaintext.expose_text()))
        return CoreError(TS_0006);
    return plaintext;
}

CoreResult<std::string> encrypt_field(ByteView l2_key, std::string_view label, ByteView plaintext) {
    SecretBytes key = field_key(l2_key, label);
    Bytes message = TRY(aead_seal(key.expose_secret(), plaintext));
    return base64_encode(message);
}

CoreResult<Bytes> hmac_sha256(ByteView key, ByteView data) {
    static constexpr uint8_t empty[1] = {};
    if (key.size() > size_t(INT_MAX))
        return CoreError(TS_0005);
    const EVP_MAC_CTX* prepared = algorithms().hmac_sha256;
    MacCtx ctx(prepared ? EVP_MAC_CTX_dup(prepared) : nullptr);
    Bytes mac(32);
    size_t mac_size = 0;
    // Freeing the context clears its copy of the key.
    if (!ctx ||
        EVP_MAC_init(ctx.get(), key.empty() ? empty : key.data(), key.size(), nullptr) != 1 ||
        EVP_MAC_update(ctx.get(), data.empty() ? empty : data.data(), data.size()) != 1 ||
        EVP_MAC_final(ctx.get(), mac.data(), &mac_size, mac.size()) != 1 || mac_size != mac.size())
        return fail(TS_0005);
    return mac;
}

void sha256_concat(ByteView a, ByteView b, std::span<uint8_t, 32> out) {
    static constexpr uint8_t empty[1] = {};
    const EVP_MD* md = algorithms().sha256;
    MdCtx ctx(EVP_MD_CTX_new());
    unsigned int size = 0;
    if (!md || !ctx || EVP_DigestInit_ex2(ctx.get(), md, nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), a.empty() ? empty : a.data(), a.size()) != 1 ||
        EVP_DigestUpdate(ctx.get(), b.empty() ? empty : b.data(), b.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out.data(), &size) != 1 || size != out.size())
        // Hashing bytes in memory has no failure mode short of a broken library.
        stop("SHA-256 failed");
}

Bytes sha256(ByteView data) {
    Bytes digest(32);
    sha256_concat(data, {}, std::span<uint8_t, 32>(digest.data(), 32));
    return digest;
}

bool constant_time_equal(ByteView a, ByteView b) {
    if (a.size() != b.size())
        return false;
    if (a.empty())
        return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace tessarin
