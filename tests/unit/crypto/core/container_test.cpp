#include "crypto/core/container.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"

using namespace tessarin;

using namespace tessarin::testing_support;

namespace {

// Produced offline with Debian's python3-cryptography, independently of this code:
//   ek = HKDF(hashes.SHA256(), 16, None, b"key").derive(b"tessarin-cfg")
//   mk = HKDF(hashes.SHA256(), 16, None, b"hmac").derive(b"tessarin-cfg")
//   nonce = bytes(range(1, 13)); body = nonce + AESGCM(ek).encrypt(nonce, kPlaintext, None)
//   h = hmac.HMAC(mk, hashes.SHA256()); h.update(body)
//   container = b"TSR1" + h.finalize()[:16] + body
constexpr std::string_view kEncryptionKey = "1d8b22fd1e724f106d8f3201639377dc";
constexpr std::string_view kMacKey = "83d23966332ab405db44ceb13c37ce41";
constexpr std::string_view kPlaintext =
    R"({"vault_url":"https://vault.example","vault_gate_pub":"abababababababababababababababababababababababababababababababab","vault_id":"2a1b2c3d4e5f6071","agent_id":"00112233445566778899aabbccddeeff","l2":"0f0e0d0c0b0a09080706050403020100","device_id":"ffeeddccbbaa99887766554433221100"})";
constexpr std::string_view kContainer =
    "5453523123bce358107e7e3d680e7b75c5e7a55c0102030405060708090a0b0c2d2abf8d18d1b22fb13d28a8ad"
    "bad9940511253294487e026cfe849442ea75d5c51276d15b269e3826f3d385ec3e6a835653aeeb9fc0b30cc914"
    "52b3b137688be322a341fd61816ead8d29d5be50e88db221540db2df042f91711d8f3782be7f0d828c84d865a9"
    "46602f2e4e9020b29d359c334e6e57331d0e03bb67abb2a528df45135352c873338bb4d74f51f987d0bd10aff6"
    "19f788d61723ee4257ecb5e4b2ec401ad3c744df19af83614e8cb072a423d5b7c39ec0d4f309de6a4babbd7883"
    "5ccef8bddc4cfaa8332baa8336b96dd83606c28ed90460236bf53e9f512285857679620aeeca39357292f04f1a"
    "0eb936d32a58293fdd071b9068ff6fae5a68a5bc49fe6d6bb8da0f4850ab7c93a9d03cb9ee630e7f1d550ec77e"
    "a5559597b0b0bccd592a647ec3e188756e";

}  // namespace

TEST(Container, KeysMatchIndependentDerivation) {
    EXPECT_EQ(hex_encode(container_encryption_key().expose_secret()), kEncryptionKey);
    EXPECT_EQ(hex_encode(container_mac_key().expose_secret()), kMacKey);
}

TEST(Container, OpensAContainerWrittenElsewhere) {
    auto opened = open_container(hex(kContainer));
    ASSERT_EQ(code_of(opened), "ok");
    EXPECT_EQ(opened.value().expose_text(), kPlaintext);
}

TEST(Container, SealLayoutAndRoundTrip) {
    for (std::string_view text : {std::string_view(), std::string_view("x"), kPlaintext}) {
        SCOPED_TRACE(text.size());
        auto sealed = seal_container(as_bytes(text));
        ASSERT_EQ(code_of(sealed), "ok");
        const Bytes& c = sealed.value();
        ASSERT_EQ(c.size(), text.size() + 48);
        EXPECT_EQ(std::string(c.begin(), c.begin() + 4), "TSR1");
        auto mac = hmac_sha256(hex(kMacKey), ByteView(c).subspan(20));
        ASSERT_EQ(code_of(mac), "ok");
        EXPECT_EQ(Bytes(mac.value().begin(), mac.value().begin() + 16),
                  Bytes(c.begin() + 4, c.begin() + 20));
        auto body = aead_open(hex(kEncryptionKey), ByteView(c).subspan(20));
        ASSERT_EQ(code_of(body), "ok");
        EXPECT_EQ(body.value().expose_text(), text);
        auto opened = open_container(c);
        ASSERT_EQ(code_of(opened), "ok");
        EXPECT_EQ(opened.value().expose_text(), text);
    }
    auto a = seal_container(as_bytes("same"));
    auto b = seal_container(as_bytes("same"));
    ASSERT_FALSE(a.is_error() || b.is_error());
    EXPECT_NE(Bytes(a.value().begin() + 20, a.value().begin() + 32),
              Bytes(b.value().begin() + 20, b.value().begin() + 32));
}

TEST(Container, RefusesDamagedFiles) {
    const Bytes good = hex(kContainer);
    Bytes wrong_magic = good;
    wrong_magic[3] = '2';
    Bytes mac_only(48, 0);
    std::copy_n("TSR1", 4, mac_only.begin());
    // A valid MAC over a body whose tag does not verify: the failure comes from the AEAD.
    Bytes bad_tag(good.begin(), good.end());
    bad_tag.back() ^= 1;
    auto mac = hmac_sha256(hex(kMacKey), ByteView(bad_tag).subspan(20));
    ASSERT_FALSE(mac.is_error());
    std::copy_n(mac.value().begin(), 16, bad_tag.begin() + 4);

    const struct {
        std::string_view name;
        Bytes data;
        std::string_view code;
    } cases[] = {
        {"empty", {}, "TS-0008"},
        {"47 bytes", Bytes(good.begin(), good.begin() + 47), "TS-0008"},
        {"48 bytes, other magic",
         [] {
             Bytes b(48, 0);
             std::copy_n("TSR2", 4, b.begin());
             return b;
         }(),
         "TS-0009"},
        {"wrong magic on a good file", wrong_magic, "TS-0009"},
        {"48 bytes, right magic, no valid MAC", mac_only, "TS-0003"},
        {"MAC fine, tag broken", bad_tag, "TS-0003"},
        {"truncated by one byte", Bytes(good.begin(), good.end() - 1), "TS-0003"},
        {"one byte appended",
         [&] {
             Bytes b = good;
             b.push_back(0);
             return b;
         }(),
         "TS-0003"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(code_of(open_container(c.data)), c.code);
    }
}

TEST(Container, EveryFlippedBitAfterTheMagicIsRefused) {
    const Bytes good = hex(kContainer);
    for (size_t i = 4; i < good.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes damaged = good;
            damaged[i] ^= static_cast<uint8_t>(1u << bit);
            ASSERT_EQ(code_of(open_container(damaged)), "TS-0003")
                << "byte " << i << " bit " << bit;
        }
    }
}
