#include "crypto/core/token.h"

#include <gtest/gtest.h>

#include "tests/unit/test_support.h"

#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"
#include "crypto/core/primitives.h"

using namespace tessarin;

using namespace tessarin::testing_support;

namespace {

// A CRC-32 written out bit by bit (reflected polynomial 0xEDB88320, initial and final
// complement), independent of the zlib routine the token code calls.
uint32_t crc32_bitwise(std::string_view data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// The token key for vault id 2a1b2c3d4e5f6071, computed offline with Debian's
// python3-cryptography:
//   HKDF(hashes.SHA256(), 16, None, b"tsk-envelope").derive(bytes.fromhex("2a1b2c3d4e5f6071"))
constexpr uint64_t kVaultId = 0x2a1b2c3d4e5f6071ull;
constexpr std::string_view kTokenKey = "f89b3133e7b336901b862eb349dde132";
const Bytes kL2 = hex("0f0e0d0c0b0a09080706050403020100");
const Bytes kAgent = hex("00112233445566778899aabbccddeeff");

std::string minted() {
    auto token = mint_agent_token(kVaultId, kL2, kAgent);
    if (token.is_error())
        throw std::runtime_error("mint failed");
    return std::string(token.value().expose_text());
}

// The payload as text, or the failure detail prefixed with "error: ".
std::string payload(std::string_view action, std::optional<std::string_view> token,
                    const nlohmann::json& content) {
    auto result = build_request_payload(action, token, content);
    if (result.is_error())
        return "error: " + result.error().detail;
    return std::string(result.value().expose_text());
}

}  // namespace

TEST(AgentToken, LayoutAndCheckValue) {
    const std::string token = minted();
    ASSERT_EQ(token.size(), 93u);
    EXPECT_EQ(token.substr(0, 4), "tsk_");
    EXPECT_EQ(token.find('.'), 86u);
    EXPECT_EQ(token.rfind('.'), 86u);
    for (char c : token.substr(4, 82))
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') << c;

    auto check = base64url_decode(token.substr(87));
    ASSERT_TRUE(check);
    ASSERT_EQ(check->size(), 4u);
    const uint32_t crc = crc32_bitwise(std::string_view(token).substr(0, 86));
    const uint8_t expected[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8),
                                 uint8_t(crc)};
    EXPECT_EQ(Bytes(expected, expected + 4), *check);
}

TEST(AgentToken, BodyOpensUnderTheIndependentlyDerivedKey) {
    const std::string token = minted();
    auto body = base64url_decode(std::string_view(token).substr(4, 82));
    ASSERT_TRUE(body);
    ASSERT_EQ(body->size(), 61u);
    EXPECT_EQ((*body)[0], 0x02);
    EXPECT_EQ(Bytes(body->begin() + 1, body->begin() + 9), hex("2a1b2c3d4e5f6071"));

    EXPECT_EQ(hex_encode(token_envelope_key(kVaultId).expose_secret()), kTokenKey);
    auto opened = aead_open(hex(kTokenKey), ByteView(*body).subspan(9));
    ASSERT_FALSE(opened.is_error());
    Bytes expected(kL2.begin(), kL2.begin() + 8);
    expected.insert(expected.end(), kAgent.begin(), kAgent.end());
    EXPECT_EQ(Bytes(opened.value().expose_secret().begin(), opened.value().expose_secret().end()),
              expected);
}

TEST(AgentToken, EnvelopeKeyMatchesSharedVector) {
    EXPECT_EQ(hex_encode(token_envelope_key(0x0123456789abcdefull).expose_secret()),
              "b9d071a2bb8afdbf88534f2508bfbeb9");
}

TEST(AgentToken, FreshNonceEachMintSameContent) {
    const std::string a = minted(), b = minted();
    EXPECT_NE(a, b);
    auto body_a = base64url_decode(std::string_view(a).substr(4, 82));
    auto body_b = base64url_decode(std::string_view(b).substr(4, 82));
    ASSERT_TRUE(body_a && body_b);
    EXPECT_NE(Bytes(body_a->begin() + 9, body_a->begin() + 21),
              Bytes(body_b->begin() + 9, body_b->begin() + 21));
    auto open_a = aead_open(hex(kTokenKey), ByteView(*body_a).subspan(9));
    auto open_b = aead_open(hex(kTokenKey), ByteView(*body_b).subspan(9));
    ASSERT_FALSE(open_a.is_error() || open_b.is_error());
    EXPECT_EQ(open_a.value().expose_text(), open_b.value().expose_text());
}

TEST(AgentToken, RefusesWrongInputLengths) {
    const Bytes short_l2(15, 1), short_agent(15, 2);
    auto a = mint_agent_token(kVaultId, short_l2, kAgent);
    ASSERT_TRUE(a.is_error());
    EXPECT_EQ(a.error().get().code, "TS-0001");
    auto b = mint_agent_token(kVaultId, kL2, short_agent);
    ASSERT_TRUE(b.is_error());
    EXPECT_EQ(b.error().get().code, "TS-0005");
}

TEST(RequestPayload, EnvelopeForms) {
    using json = nlohmann::json;
    json unsorted = json::object();
    unsorted["q"] = "openrouter";
    unsorted["exact"] = true;
    json byte_order = json::object();
    for (const char* key : {"\xC3\xA9", "a", "_", "B"}) byte_order[key] = 1;
    json nested = {{"z", {{"y", 1}, {"b", json::array({2, -3, 1.5})}}}, {"a", nullptr}};
    const struct {
        std::string_view name, action;
        std::optional<std::string_view> token;
        json content;
        std::string expected;
    } cases[] = {
        {"null content has no member", "entry.get", "tsk_x", nullptr,
         R"({"action":"entry.get","cred":"tsk_x"})"},
        {"no token has no cred", "system.ping", std::nullopt, nullptr,
         R"({"action":"system.ping"})"},
        {"content keys in ascending order", "search.query", "tsk_x", unsorted,
         R"({"action":"search.query","cred":"tsk_x","content":{"exact":true,"q":"openrouter"}})"},
        {"byte order of keys", "entry.upsert", "tsk_", byte_order,
         "{\"action\":\"entry.upsert\",\"cred\":\"tsk_\",\"content\":{\"B\":1,\"_\":1,\"a\":1,"
         "\"\xC3\xA9\":1}}"},
        {"nested objects sorted, numbers kept", "audit.list", "tsk_x", nested,
         R"({"action":"audit.list","cred":"tsk_x","content":{"a":null,"z":{"b":[2,-3,1.5],"y":1}}})"},
        {"string escaping", "entry.get", "tsk_x", json("a\"b\\c\n\x01"),
         R"({"action":"entry.get","cred":"tsk_x","content":"a\"b\\c\n\u0001"})"},
        {"scalar content", "ext.totp", "tsk_x", json(42),
         R"({"action":"ext.totp","cred":"tsk_x","content":42})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = payload(c.action, c.token, c.content);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out[0], '\x10');
        EXPECT_EQ(out.substr(1), c.expected);
    }
}

TEST(RequestPayload, Refusals) {
    const std::string refused = "error: encode request: " + debug_form(TS_0004);
    const nlohmann::json bad_utf8 = std::string("\xFF");
    const struct {
        std::string_view name, action;
        std::optional<std::string_view> token;
        nlohmann::json content;
        std::string expected_prefix;
    } cases[] = {
        {"action in another case", "Entry.get", "tsk_x", nullptr, refused},
        {"action with a blank", "entry.get ", "tsk_x", nullptr, refused},
        {"empty action", "", "tsk_x", nullptr, refused},
        {"empty token", "entry.get", "", nullptr, refused},
        {"token without prefix", "entry.get", "tsk", nullptr, refused},
        {"token prefix in upper case", "entry.get", "TSK_abc", nullptr, refused},
        {"content that cannot be serialised", "entry.get", "tsk_x", bad_utf8,
         "error: encode args: a string in the value is not valid UTF-8"},
        {"content is checked before the action", "no.such", "", bad_utf8, "error: encode args: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = payload(c.action, c.token, c.content);
        EXPECT_EQ(out.substr(0, c.expected_prefix.size()), c.expected_prefix) << out;
        if (c.expected_prefix == refused) {
            EXPECT_EQ(out, refused);
        }
    }
    // The bare prefix is the gate's to judge.
    EXPECT_EQ(payload("entry.get", "tsk_", nullptr).substr(1),
              R"({"action":"entry.get","cred":"tsk_"})");
}

TEST(RequestPayload, ActionList) {
    EXPECT_EQ(k_action_names.size(), 114u);
    std::set<std::string_view> distinct(k_action_names.begin(), k_action_names.end());
    EXPECT_EQ(distinct.size(), 114u);
    EXPECT_EQ(k_action_names.front(), "system.ping");
    EXPECT_EQ(k_action_names.back(), "varnelle.view");
    for (std::string_view sent : {"entry.get", "entry.upsert", "entry.delete", "search.query",
                                  "search.similar", "ext.totp", "audit.list"})
        EXPECT_TRUE(is_accepted_action(sent)) << sent;
    for (std::string_view name : k_action_names)
        EXPECT_FALSE(payload(name, "tsk_x", nullptr).starts_with("error")) << name;
    for (std::string_view other : {"ENTRY.GET", "entry", "entry.get.", "ops.maintenance"})
        EXPECT_FALSE(is_accepted_action(other)) << other;
}
