#include "crypto/core/primitives.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "crypto/core/base64.h"
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

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// A GCM context with the cipher chosen by key length but no key or nonce yet.
CoreResult<CipherCtx> gcm_context(size_t key_size, bool encrypt) {
    const EVP_CIPHER* cipher = key_size == 16   ? EVP_aes_128_gcm()
                               : key_size == 32 ? EVP_aes_256_gcm()
                                                : nullptr;
    if (!cipher)
        return CoreError(TS_0001);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, encrypt) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, int(kNonceSize), nullptr) != 1)
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
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), nonce, 1) != 1 ||
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
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), nonce, 0) != 1 ||
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
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        param(OSSL_KDF_PARAM_KEY, ikm),
        param(OSSL_KDF_PARAM_SALT, salt_bytes),
        param(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr);
    EVP_KDF_CTX* ctx = kdf ? EVP_KDF_CTX_new(kdf) : nullptr;
    EVP_KDF_free(kdf);
    const bool ok = ctx && EVP_KDF_derive(ctx, out.expose_secret_mut().data(), length, params) == 1;
    EVP_KDF_CTX_free(ctx);  // clears its copies of the key material
    if (!ok)
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
    Bytes mac(32);
    unsigned int mac_size = 0;
    if (!HMAC(EVP_sha256(), key.empty() ? empty : key.data(), int(key.size()),
              data.empty() ? empty : data.data(), data.size(), mac.data(), &mac_size) ||
        mac_size != mac.size())
        return fail(TS_0005);
    return mac;
}

Bytes sha256(ByteView data) {
    static constexpr uint8_t empty[1] = {};
    Bytes digest(32);
    unsigned int size = 0;
    if (EVP_Digest(data.empty() ? empty : data.data(), data.size(), digest.data(), &size,
                   EVP_sha256(), nullptr) != 1 ||
        size != digest.size())
        stop("SHA-256 failed");
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
