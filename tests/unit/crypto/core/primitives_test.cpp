#include "crypto/core/primitives.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"
#include "crypto/core/random.h"

using namespace tessarin;

using namespace tessarin::testing_support;

namespace {

std::string hex_of(ByteView bytes) {
    return hex_encode(bytes);
}

// Known answers not taken from the shared vector file were produced offline with Debian's
// python3-cryptography 38 (HKDF with SHA256, AESGCM with the given nonce), for example:
//   HKDF(hashes.SHA256(), 32, None, b"tessarin-field-content").derive(bytes(range(16)))
//   nonce + AESGCM(field_key).encrypt(nonce, plaintext, None), then base64.b64encode
// so the tests need no Python at run time.
const Bytes kL2 = hex("000102030405060708090a0b0c0d0e0f");
// field_key(kL2, "password"): also the shared HKDF vector "field_password".
constexpr std::string_view kFieldKeyPassword =
    "b0c9c7989d9605f2a445af5152fd08a1e7d6edaf91df26f954b5b3a149bdfbcb";
// AES-256-GCM under that field key, nonce 000102030405060708090a0b.
constexpr std::string_view kFieldHunter =
    "AAECAwQFBgcICQoL18jfiBXI2rsjVYLj1pZz3BEzSnjaO29SF5mR1IA=";
constexpr std::string_view kFieldHunterPlain = "hunter2 \xC3\xA9\xE2\x82\xAC";  // "hunter2 é€"
constexpr std::string_view kFieldByteFF = "AAECAwQFBgcICQoLQJ3PaKyvovxYZv/WDARyNCE=";
constexpr std::string_view kFieldEmpty = "AAECAwQFBgcICQoLwZXxDWj1z3fTq10R0XBj4Q==";

}  // namespace

TEST(DeriveKey, KnownAnswers) {
    struct Case {
        std::string_view name, ikm_hex;
        std::optional<std::string_view> salt_hex;
        std::string_view info;
        size_t length;
        std::string_view okm_hex;
    };
    const Case cases[] = {
        // From the shared HKDF vectors (token envelope key and a field key).
        {"tsk_envelope", "0123456789abcdef", std::nullopt, "tsk-envelope", 16,
         "b9d071a2bb8afdbf88534f2508bfbeb9"},
        {"field_password", "000102030405060708090a0b0c0d0e0f", std::nullopt,
         "tessarin-field-password", 32, kFieldKeyPassword},
        // python3-cryptography, offline.
        {"field_content", "000102030405060708090a0b0c0d0e0f", std::nullopt,
         "tessarin-field-content", 32,
         "eb26dfceb7b50f8bbc1d60e0531245d0bcfe0cceaebd9ccfa5a325ea7f85bcca"},
        {"12-byte ikm, 16 bytes", "746573736172696e2d636667", std::nullopt, "key", 16,
         "1d8b22fd1e724f106d8f3201639377dc"},
        {"salted, 64 bytes (the Noise key schedule shape)",
         "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
         "5555555555555555555555555555555555555555555555555555555555555555", "", 64,
         "65ef3f546ae6599c39e0a55d5434206a8b6ce04b8c3864674313814c3093995840cc2728185b2408c999e1ae"
         "00f8af601cff8362d50b23b197aa61b6d60b1570"},
        {"empty ikm", "", std::nullopt, "x", 32,
         "0dfd7b633e54fd3c77e68749c2c9a8899dd4a0e86dec0043242e714f6cc75913"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        Bytes ikm = hex(c.ikm_hex);
        std::optional<Bytes> salt;
        if (c.salt_hex)
            salt = hex(*c.salt_hex);
        SecretBytes okm = derive_key(ikm, salt ? std::optional<ByteView>(*salt) : std::nullopt,
                                     as_bytes(c.info), c.length);
        EXPECT_EQ(hex_of(okm.expose_secret()), c.okm_hex);
    }
}

TEST(DeriveKey, AbsentSaltIsThirtyTwoZeroBytes) {
    const Bytes zeros(32, 0);
    SecretBytes a = derive_key(kL2, std::nullopt, as_bytes("info"), 32);
    SecretBytes b = derive_key(kL2, ByteView(zeros), as_bytes("info"), 32);
    EXPECT_TRUE(constant_time_equal(a.expose_secret(), b.expose_secret()));
    EXPECT_EQ(hex_of(field_key(kL2, "password").expose_secret()), kFieldKeyPassword);
}

TEST(DeriveKey, LongestOutputWorksAndBeyondItStopsTheProgram) {
    EXPECT_EQ(derive_key(kL2, std::nullopt, {}, 8160).size(), 8160u);
    EXPECT_DEATH(derive_key(kL2, std::nullopt, {}, 8161),
                 "HKDF expand failed despite length check");
}

TEST(AeadOpen, KnownMessages) {
    // python3-cryptography AESGCM, nonce 000102030405060708090a0b.
    const Bytes key16 = hex("101112131415161718191a1b1c1d1e1f");
    const Bytes key32 = hex(kFieldKeyPassword);
    struct Case {
        std::string_view name;
        const Bytes& key;
        std::string_view message_hex, plain;
    };
    const Case cases[] = {
        {"28 bytes, AES-128", key16, "000102030405060708090a0b6334ec174d7c6cd918a0ee0a87d3d8a9",
         ""},
        {"28 bytes, AES-256", key32, "000102030405060708090a0bc195f10d68f5cf77d3ab5d11d17063e1",
         ""},
        {"text, AES-128", key16,
         "000102030405060708090a0b921a7ab1297ad490dd10698395a0808f1a774842d6c1a7d48f044c",
         "config body"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        auto opened = aead_open(c.key, hex(c.message_hex));
        ASSERT_EQ(code_of(opened), "ok");
        EXPECT_EQ(opened.value().expose_text(), c.plain);
    }
}

TEST(AeadOpen, FailuresInTheirOrder) {
    const Bytes key16 = hex("101112131415161718191a1b1c1d1e1f");
    const Bytes good =
        hex("000102030405060708090a0b921a7ab1297ad490dd10698395a0808f1a774842d6c1a7d48f044c");
    auto flipped = [&](size_t index) {
        Bytes m = good;
        m[index] ^= 0x01;
        return m;
    };
    const Bytes key24(24, 7), key0, key17(17, 7);
    struct Case {
        std::string_view name;
        ByteView key;
        Bytes message;
        std::string_view code;
    };
    const Case cases[] = {
        {"27 bytes", key16, Bytes(27, 0), "TS-0010"},
        {"empty", key16, Bytes(), "TS-0010"},
        // The length is judged before the key.
        {"27 bytes, bad key", key24, Bytes(27, 0), "TS-0010"},
        {"24-byte key", key24, good, "TS-0001"},
        {"empty key", key0, good, "TS-0001"},
        {"17-byte key", key17, good, "TS-0001"},
        {"nonce bit", key16, flipped(0), "TS-0003"},
        {"ciphertext bit", key16, flipped(12), "TS-0003"},
        {"tag bit", key16, flipped(good.size() - 1), "TS-0003"},
        {"truncated", key16, Bytes(good.begin(), good.end() - 1), "TS-0003"},
        {"wrong key", hex("101112131415161718191a1b1c1d1e10"), good, "TS-0003"},
        {"zero message of 28", key16, Bytes(28, 0), "TS-0003"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_EQ(code_of(aead_open(c.key, c.message)), c.code);
    }
}

TEST(AeadSeal, RoundTripsWithFreshNonces) {
    for (size_t key_size : {16u, 32u}) {
        SCOPED_TRACE(key_size);
        const Bytes key(key_size, 0x5a);
        for (std::string_view text : {std::string_view(""), std::string_view("x"),
                                      std::string_view("a longer plaintext of some bytes")}) {
            auto first = aead_seal(key, as_bytes(text));
            auto second = aead_seal(key, as_bytes(text));
            ASSERT_EQ(code_of(first), "ok");
            ASSERT_EQ(code_of(second), "ok");
            EXPECT_EQ(first.value().size(), text.size() + 28);
            EXPECT_EQ(first.value().capacity(), text.size() + 28);
            EXPECT_NE(first.value(), second.value());  // a new random nonce per seal
            auto opened = aead_open(key, first.value());
            ASSERT_EQ(code_of(opened), "ok");
            EXPECT_EQ(opened.value().expose_text(), text);
        }
    }
}

TEST(AeadSeal, RefusesKeysOtherThan16Or32Bytes) {
    for (size_t key_size : {0u, 8u, 15u, 17u, 24u, 31u, 33u, 64u})
        EXPECT_EQ(code_of(aead_seal(Bytes(key_size, 1), as_bytes("x"))), "TS-0001") << key_size;
}

TEST(AeadGcmWithAd, KnownAnswerAndAuthenticatedData) {
    // python3-cryptography: AESGCM(bytes(range(32))).encrypt(bytes(4) + (5).to_bytes(8, "big"),
    // b"noise", b"\x42" * 32)
    const Bytes key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes nonce = hex("000000000000000000000005");
    const Bytes ad(32, 0x42);
    const std::string_view expected = "f6ceab11a6b8d71d53378e07eca441a5752430bd35";

    Bytes out = {0xEE};  // existing content stays in front
    out.reserve(1 + 5 + 16);
    const uint8_t* before = out.data();
    ASSERT_EQ(code_of(aead_gcm_encrypt_ad(key, nonce, ad, as_bytes("noise"), out)), "ok");
    EXPECT_EQ(out.data(), before);  // no reallocation into reserved room
    EXPECT_EQ(hex_of(out), "ee" + std::string(expected));

    const Bytes sealed = hex(expected);
    auto opened = aead_gcm_decrypt_ad(key, nonce, ad, sealed);
    ASSERT_EQ(code_of(opened), "ok");
    EXPECT_EQ(opened.value().expose_text(), "noise");

    const Bytes other_ad(32, 0x43), other_nonce = hex("000000000000000000000006");
    EXPECT_EQ(code_of(aead_gcm_decrypt_ad(key, nonce, other_ad, sealed)), "TS-0003");
    EXPECT_EQ(code_of(aead_gcm_decrypt_ad(key, other_nonce, ad, sealed)), "TS-0003");
    EXPECT_EQ(code_of(aead_gcm_decrypt_ad(key, nonce, ad, Bytes(15, 0))), "TS-0010");
    EXPECT_EQ(code_of(aead_gcm_decrypt_ad(Bytes(24, 0), nonce, ad, sealed)), "TS-0001");
    EXPECT_EQ(code_of(aead_gcm_decrypt_ad(key, Bytes(8, 0), ad, sealed)), "TS-0005");
    Bytes unused;
    EXPECT_EQ(code_of(aead_gcm_encrypt_ad(key, Bytes(16, 0), ad, as_bytes("x"), unused)),
              "TS-0005");
    EXPECT_EQ(code_of(aead_gcm_encrypt_ad(Bytes(24, 0), nonce, ad, as_bytes("x"), unused)),
              "TS-0001");
    EXPECT_TRUE(unused.empty());
}

TEST(DecryptField, OpensValuesSealedElsewhere) {
    auto hunter = decrypt_field(kL2, "password", kFieldHunter);
    ASSERT_EQ(code_of(hunter), "ok");
    EXPECT_EQ(hunter.value().expose_text(), kFieldHunterPlain);
    auto empty = decrypt_field(kL2, "password", kFieldEmpty);
    ASSERT_EQ(code_of(empty), "ok");
    EXPECT_TRUE(empty.value().empty());
}

TEST(DecryptField, Failures) {
    std::string no_padding(kFieldHunter);
    no_padding.pop_back();
    // Last symbol "A" of "...IA=" carries two unused bits; "B" sets one of them.
    std::string stray_bits(kFieldHunter);
    stray_bits[stray_bits.size() - 2] = 'B';
    const std::string short27 = base64_encode(Bytes(27, 0));
    struct Case {
        std::string_view name, label, value, code;
    };
    const Case cases[] = {
        {"padding missing", "password", no_padding, "TS-0002"},
        {"non-zero trailing bits", "password", stray_bits, "TS-0002"},
        {"URL-safe text", "password", "AAECAwQFBgcICQoL-_8=", "TS-0002"},
        {"blank inside", "password", "AAEC AwQF", "TS-0002"},
        {"27 bytes", "password", short27, "TS-0010"},
        {"label case differs", "Password", kFieldHunter, "TS-0003"},
        {"another label", "content", kFieldHunter, "TS-0003"},
        {"plaintext 0xFF", "password", kFieldByteFF, "TS-0006"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_EQ(code_of(decrypt_field(kL2, c.label, c.value)), c.code);
    }
}

TEST(EncryptField, RoundTripsUnderItsOwnLabelOnly) {
    const std::string_view plain = "s3cr\xC3\xABt";
    auto sealed = encrypt_field(kL2, "api key", as_bytes(plain));
    ASSERT_EQ(code_of(sealed), "ok");
    EXPECT_TRUE(base64_decode(sealed.value()));
    EXPECT_EQ(base64_decode(sealed.value())->size(), plain.size() + 28);
    auto opened = decrypt_field(kL2, "api key", sealed.value());
    ASSERT_EQ(code_of(opened), "ok");
    EXPECT_EQ(opened.value().expose_text(), plain);
    EXPECT_EQ(code_of(decrypt_field(kL2, "API key", sealed.value())), "TS-0003");
    EXPECT_EQ(code_of(decrypt_field(Bytes(16, 0), "api key", sealed.value())), "TS-0003");
}

TEST(HmacSha256, KnownAnswers) {
    struct Case {
        std::string_view name;
        Bytes key;
        std::string data;
        std::string_view mac_hex;
    };
    const Case cases[] = {
        // RFC 4231 test cases 1 and 2.
        {"rfc4231 1", Bytes(20, 0x0b), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"rfc4231 2", hex("4a656665"), "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // python3-cryptography, offline.
        {"empty key", Bytes(), "abc",
         "fd7adb152c05ef80dccf50a1fa4c05d5a3ec6da95575fc312ae7c5d091836351"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name));
        auto mac = hmac_sha256(c.key, as_bytes(c.data));
        ASSERT_EQ(code_of(mac), "ok");
        EXPECT_EQ(hex_of(mac.value()), c.mac_hex);
    }
}

TEST(Sha256, KnownAnswers) {
    EXPECT_EQ(hex_of(sha256({})),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_of(sha256(as_bytes("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // The two-part form hashes the concatenation, whichever part is empty.
    const std::pair<std::string_view, std::string_view> splits[] = {
        {"a", "bc"}, {"", "abc"}, {"abc", ""}};
    for (auto [a, b] : splits) {
        uint8_t out[32];
        sha256_concat(as_bytes(a), as_bytes(b), out);
        EXPECT_EQ(hex_of(out), hex_of(sha256(as_bytes("abc")))) << a << "|" << b;
    }
}

TEST(ConstantTimeEqual, ComparesWholeContentsAndLengths) {
    const Bytes a = hex("00112233445566778899aabbccddeeff");
    Bytes last = a, first = a;
    last.back() ^= 0x80;
    first.front() ^= 0x01;
    EXPECT_TRUE(constant_time_equal(a, a));
    EXPECT_TRUE(constant_time_equal({}, {}));
    EXPECT_FALSE(constant_time_equal(a, last));
    EXPECT_FALSE(constant_time_equal(a, first));
    EXPECT_FALSE(constant_time_equal(a, ByteView(a).first(15)));
    EXPECT_FALSE(constant_time_equal({}, a));
}

// The retry loop of the random source, over stand-in sources.
namespace {
int g_calls = 0;  // calls made to the stand-in sources of one test

ssize_t source_short(void* buffer, size_t length, unsigned int) {
    ++g_calls;
    size_t n = length < 5 ? length : 5;
    std::memset(buffer, 0xAB, n);
    return static_cast<ssize_t>(n);
}
ssize_t source_interrupted_twice(void* buffer, size_t length, unsigned int) {
    if (++g_calls <= 2) {
        errno = EINTR;
        return -1;
    }
    std::memset(buffer, 0xCD, length);
    return static_cast<ssize_t>(length);
}
ssize_t source_failing(void*, size_t, unsigned int) {
    ++g_calls;
    errno = ENOSYS;
    return -1;
}
ssize_t source_empty(void*, size_t, unsigned int) {
    ++g_calls;
    return 0;
}
}  // namespace

TEST(Random, RetriesShortReadsAndInterruptions) {
    uint8_t buffer[23] = {};
    g_calls = 0;
    ASSERT_FALSE(detail::random_fill_from(source_short, buffer).is_error());
    EXPECT_EQ(g_calls, 5);
    for (uint8_t b : buffer) EXPECT_EQ(b, 0xAB);

    g_calls = 0;
    ASSERT_FALSE(detail::random_fill_from(source_interrupted_twice, buffer).is_error());
    EXPECT_EQ(g_calls, 3);
    EXPECT_EQ(buffer[22], 0xCD);
}

TEST(Random, ReportsFailuresInsteadOfLooping) {
    uint8_t buffer[8];
    g_calls = 0;
    auto failed = detail::random_fill_from(source_failing, buffer);
    ASSERT_TRUE(failed.is_error());
    EXPECT_EQ(failed.error().code, ENOSYS);
    EXPECT_EQ(g_calls, 1);
    EXPECT_NE(failed.error().message().find("(os error " + std::to_string(ENOSYS) + ")"),
              std::string::npos);

    g_calls = 0;
    auto empty = detail::random_fill_from(source_empty, buffer);
    ASSERT_TRUE(empty.is_error());
    EXPECT_EQ(empty.error().code, EIO);
    EXPECT_EQ(g_calls, 1);
}

TEST(Random, FillsFromTheSystem) {
    uint8_t a[32] = {}, b[32] = {};
    ASSERT_FALSE(random_fill(a).is_error());
    ASSERT_FALSE(random_fill_os(b).is_error());
    EXPECT_FALSE(constant_time_equal(a, b));
    EXPECT_FALSE(random_fill({}).is_error());
}
