#include "src/config/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "tests/unit/config/config_fixture.h"

using namespace tessarin;
using namespace tessarin::config_test;

TEST(VaultId, EveryReason) {
    const struct {
        std::string_view text, reason;
    } cases[] = {
        {"", "wrong_length"},
        {"2a1b2c3d4e5f607", "wrong_length"},
        {"2a1b2c3d4e5f60711", "wrong_length"},
        {"0x1b2c3d4e5f6071", "hex_prefix"},
        {"0X1b2c3d4e5f6071", "hex_prefix"},
        {"2A1b2c3d4e5f6071", "uppercase"},
        {"2a1b2c3d4e5f607F", "uppercase"},
        {"2a1b2c3d 4e5f607", "whitespace"},
        {"2a1b2c3d4e5f607\t", "whitespace"},
        {"\n2a1b2c3d4e5f607", "whitespace"},
        {"2a1b2c3d4e5f607\r", "whitespace"},
        {"2a1b2c3d4e5f607\f", "whitespace"},
        {"+a1b2c3d4e5f6071", "sign"},
        {"2a1b2c3d4e5f607-", "sign"},
        {"2a1b2c3g4e5f6071", "invalid_char"},
        {"2a1b2c3d4e5f607\v", "invalid_char"},
        {"2a1b2c3d4e5f60\xC3\xA9", "invalid_char"},
        // The first offending byte decides.
        {"2a1bF c3d4e5f607", "uppercase"},
        {"2a1bG c3d4e5f607", "invalid_char"},
        {"2a1b g3d4e5f6071", "whitespace"},
        {"0000000000000000", "zero"},
        {"8000000000000001", "top_bit_set"},
        {"ffffffffffffffff", "top_bit_set"},
        {"00000000000000ff", "issuer_zero"},
        {"00ffffffffffffff", "issuer_zero"},
        {"7f00000000000000", "random_part_zero"},
        {"0100000000000000", "random_part_zero"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto r = parse_vault_id(c.text);
        ASSERT_TRUE(r.is_error());
        EXPECT_EQ(r.error(), c.reason);
    }
    const struct {
        std::string_view text;
        uint64_t value;
    } valid[] = {
        {"2a1b2c3d4e5f6071", 0x2a1b2c3d4e5f6071ull},
        {"0100000000000001", 0x0100000000000001ull},
        {"7fffffffffffffff", 0x7fffffffffffffffull},
    };
    for (const auto& v : valid) {
        auto r = parse_vault_id(v.text);
        ASSERT_FALSE(r.is_error()) << v.text;
        EXPECT_EQ(r.value(), v.value);
    }
}

TEST(GateUrl, Cases) {
    const struct {
        std::string_view input, expected;
    } cases[] = {
        {"https://vault.example", "https://vault.example/gate"},
        {"https://vault.example/", "https://vault.example/gate"},
        {"  https://vault.example//  ", "https://vault.example/gate"},
        {"\thttps://vault.example:8443\n", "https://vault.example:8443/gate"},
        {"HTTPS://Vault.Example/", "HTTPS://Vault.Example/gate"},
        {"https://vault.example/base/", "https://vault.example/base/gate"},
        {"http://vault.example", "TS-2000: vault_url must be https:// (got http://vault.example)"},
        {"Https://vault.example",
         "TS-2000: vault_url must be https:// (got Https://vault.example)"},
        {"vault.example", "TS-2000: vault_url must be https:// (got vault.example)"},
        {"", "TS-2000: vault_url must be https:// (got )"},
        {"https://", "TS-2000: vault_url is not a clean https origin (got https://)"},
        {" https:// ", "TS-2000: vault_url is not a clean https origin (got  https:// )"},
        // Slashes alone would leave "https:/gate".
        {"https:///", "TS-2000: vault_url is not a clean https origin (got https:///)"},
        {"https://user@vault.example",
         "TS-2000: vault_url is not a clean https origin (got https://user@vault.example)"},
        {"https://vault.example?x",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault.example?x)"},
        {"https://vault.example#x",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault.example#x)"},
        {"https://vault example",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault example)"},
        {"https://vault.example\\x",
         "TS-2000: vault_url is not a clean https origin (got "
         "https://vault.example\\x)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(outcome(gate_url(c.input)), c.expected);
    }
}

TEST(ConfigRecord, WritesCompactlyInDeclaredOrder) {
    Config c;
    c.vault_url = "https://v";
    c.vault_gate_pub = "ab";
    c.vault_id = "2a1b2c3d4e5f6071";
    c.agent_id = "01";
    c.l2 = SecretBytes::from_text("02");
    c.device_id = "03";
    EXPECT_EQ(json_of(c),
              R"({"vault_url":"https://v","vault_gate_pub":"ab","vault_id":"2a1b2c3d4e5f6071",)"
              R"("agent_id":"01","l2":"02","device_id":"03"})");
    c.replica_url = "https://r";
    c.replica_gate_pub = "cd";
    EXPECT_EQ(json_of(c),
              R"({"vault_url":"https://v","vault_gate_pub":"ab","replica_url":"https://r",)"
              R"("replica_gate_pub":"cd","vault_id":"2a1b2c3d4e5f6071","agent_id":"01",)"
              R"("l2":"02","device_id":"03"})");
    auto back = config_from_json(json_of(c));
    ASSERT_FALSE(back.is_error()) << back.error();
    EXPECT_EQ(json_of(back.value()), json_of(c));
}

TEST(ConfigRecord, ParseForms) {
    const std::string valid = object_of(kValid);
    const struct {
        std::string_view name;
        std::string json;
        std::string expected;  // "ok" or the start of the parser's message
    } cases[] = {
        {"object", valid, "ok"},
        {"white space around", " \n" + valid + "\n\t ", "ok"},
        {"array of eight", R"(["https://v","","https://r","","2a1b2c3d4e5f6071","01","02","03"])",
         "ok"},
        {"array without the optional middle would misplace values",
         R"(["https://v","2a1b2c3d4e5f6071","01","02","03"])",
         "invalid length 5, expected a configuration record with 8 elements"},
        {"array of nine", R"(["a","","","","b","c","d","e","f"])",
         "invalid length: more than 8 elements"},
        {"unknown key", object_of(with(kValid, "extra", "\"x\"")), "unknown field `extra`"},
        {"duplicate key", valid.substr(0, valid.size() - 1) + ",\"vault_url\":\"https://w\"}",
         "duplicate field `vault_url`"},
        {"missing required key", object_of(without(kValid, "l2")), "missing field `l2`"},
        {"missing optional key", object_of(without(kValid, "vault_gate_pub")), "ok"},
        {"null value", object_of(with(kValid, "replica_url", "null")),
         "invalid type: null, expected a string for `replica_url`"},
        {"number value", object_of(with(kValid, "l2", "5")),
         "invalid type: integer, expected a string for `l2`"},
        {"object value", object_of(with(kValid, "vault_id", "{}")),
         "invalid type: object, expected a string for `vault_id`"},
        {"not an object", "\"text\"", "invalid type: string, expected a configuration record"},
        {"trailing characters", valid + " x", "trailing characters at line 1, column"},
        {"two documents", valid + valid, "trailing characters at line 1, column"},
        {"empty", "", "EOF while parsing a value"},
        {"cut short", valid.substr(0, 40), "EOF while parsing a value"},
        // The JSON lexer takes a NUL byte for the end of its input.
        {"NUL after the record", valid + std::string(1, '\0'),
         "trailing characters at line 1, column"},
        {"NUL and a second record", valid + std::string(1, '\0') + valid,
         "trailing characters at line 1, column"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = config_from_json(c.json);
        const std::string got = r.is_error() ? r.error() : std::string("ok");
        EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << got;
    }
}

TEST(ConfigRecord, ParseErrorsNeverQuoteValues) {
    // The L2 key's hex, broken in several ways: no message may carry any part of it.
    const std::string secret = "0f0e0d0c0b0a0908";
    for (const std::string& json :
         {R"({"l2":")" + secret + "\u0001\"}", R"({"l2":")" + secret + R"(" "x"})",
          R"({"l2":")" + secret, R"({"l2":")" + secret + "\xFF\"}", R"({"l2":")" + secret + "\"}x",
          R"({"l2":)" + secret + "}"}) {
        auto r = config_from_json(json);
        ASSERT_TRUE(r.is_error()) << json;
        EXPECT_EQ(r.error().find("0f0e"), std::string::npos) << r.error();
    }
}

TEST_F(ConfigFile, ArrayFormLoads) {
    write_json(
        R"(["https://vault.example","cdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd","","",)"
        R"("2a1b2c3d4e5f6071","00112233445566778899aabbccddeeff",)"
        R"("0f0e0d0c0b0a09080706050403020100","ffeeddccbbaa99887766554433221100"])");
    auto r = load_config();
    ASSERT_FALSE(r.is_error()) << r.error().display();
    EXPECT_FALSE(r.value().replica.has_value());
    EXPECT_EQ(r.value().primary.public_key[0], 0xcd);
}

TEST_F(ConfigFile, RecordChecksInOrder) {
    const std::string pub = std::string(64, 'a');
    const struct {
        std::string_view name;
        Fields fields;
        std::string expected;
    } cases[] = {
        {"unknown key", with(kValid, "extra", "\"\""),
         "TS-2004: config JSON parse: unknown field `extra`, expected one of `vault_url`, "
         "`vault_gate_pub`, `replica_url`, `replica_gate_pub`, `vault_id`, `agent_id`, `l2`, "
         "`device_id`"},
        {"missing key", without(kValid, "device_id"),
         "TS-2004: config JSON parse: missing field `device_id`"},
        {"vault id in upper case", with(kValid, "vault_id", "\"2A1B2C3D4E5F6071\""),
         "TS-2004: vault_id is not a 16-hex vault id (uppercase); a config from before the id "
         "change: enrol again"},
        {"vault id with issuer zero", with(kValid, "vault_id", "\"00000000000000ff\""),
         "TS-2004: vault_id is not a 16-hex vault id (issuer_zero); a config from before the id "
         "change: enrol again"},
        {"l2 not hex", with(kValid, "l2", "\"zz0e0d0c0b0a09080706050403020100\""),
         "TS-2004: l2 is not valid hex"},
        {"l2 odd length", with(kValid, "l2", "\"0f0e0d0c0b0a0908070605040302010\""),
         "TS-2004: l2 is not valid hex"},
        {"l2 short", with(kValid, "l2", "\"0f0e0d0c0b0a090807060504030201\""),
         "TS-2004: l2 expected 16 bytes, got 15"},
        {"l2 is checked before agent_id", with(with(kValid, "l2", "\"00\""), "agent_id", "\"zz\""),
         "TS-2004: l2 expected 16 bytes, got 1"},
        {"agent_id not hex", with(kValid, "agent_id", "\"x\""),
         "TS-2004: agent_id is not valid hex"},
        {"device_id long", with(kValid, "device_id", quoted(std::string(34, '1'))),
         "TS-2004: device_id expected 16 bytes, got 17"},
        {"blank gate key", with(kValid, "vault_gate_pub", "\"   \""),
         "TS-2004: this config was enrolled before the enrolment blob carried the POP key: make "
         "a new client blob in the vault and enrol again"},
        {"no gate key", without(kValid, "vault_gate_pub"),
         "TS-2004: this config was enrolled before the enrolment blob carried the POP key: make "
         "a new client blob in the vault and enrol again"},
        {"gate key not hex", with(kValid, "vault_gate_pub", quoted(std::string(64, 'g'))),
         "TS-2004: vault_gate_pub is not valid hex"},
        {"gate key short", with(kValid, "vault_gate_pub", quoted(std::string(62, 'a'))),
         "TS-2004: vault_gate_pub expected 32 bytes, got 31"},
        {"gate key checked before the URL",
         with(with(kValid, "vault_gate_pub", "\"\""), "vault_url", "\"http://x\""),
         "TS-2004: this config was enrolled before the enrolment blob carried the POP key: make "
         "a new client blob in the vault and enrol again"},
        {"vault_url not https", with(kValid, "vault_url", "\"http://vault.example\""),
         "TS-2000: vault_url must be https:// (got http://vault.example)"},
        {"replica URL with a blank key: no replica", with(kValid, "replica_url", "\"https://r\""),
         "ok"},
        {"replica key without URL: no replica", with(kValid, "replica_gate_pub", quoted(pub)),
         "ok"},
        {"replica key not hex",
         with(with(kValid, "replica_url", "\"https://r\""), "replica_gate_pub", "\"xyz\""),
         "TS-2047: replica_gate_pub is not valid hex"},
        {"replica key short",
         with(with(kValid, "replica_url", "\"https://r\""), "replica_gate_pub", "\"abcd\""),
         "TS-2047: replica_gate_pub must be 32 bytes (64 hex chars)"},
        {"replica URL refused with the vault_url wording",
         with(with(kValid, "replica_url", "\"ftp://r\""), "replica_gate_pub", quoted(pub)),
         "TS-2000: vault_url must be https:// (got ftp://r)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_json(object_of(c.fields));
        auto r = load_config();
        EXPECT_EQ(error_of(r), c.expected);
        if (c.expected == "ok") {
            EXPECT_FALSE(r.value().replica.has_value());
        }
    }
}

TEST_F(ConfigFile, DuplicateKeyRefused) {
    std::string json = object_of(kValid);
    json.insert(json.size() - 1, ",\"l2\":\"0f0e0d0c0b0a09080706050403020100\"");
    write_json(json);
    EXPECT_EQ(error_of(load_config()), "TS-2004: config JSON parse: duplicate field `l2`");
}
