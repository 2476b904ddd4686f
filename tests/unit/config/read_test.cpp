#include "src/config/config.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>

#include "crypto/core/base64.h"
#include "crypto/core/token.h"
#include "tests/unit/config/config_fixture.h"

using namespace tessarin;
using namespace tessarin::config_test;

TEST_F(ConfigFile, LoadsAValidFile) {
    write_json(object_of(with(with(kValid, "replica_url", "\" https://replica.example/ \""),
                              "replica_gate_pub", quoted(std::string(64, 'B')))));
    auto r = load_config();
    ASSERT_FALSE(r.is_error()) << r.error().display();
    const LoadedConfig& c = r.value();
    EXPECT_EQ(c.primary.url, "https://vault.example/gate");
    std::array<uint8_t, 32> all_aa;
    all_aa.fill(0xaa);
    EXPECT_EQ(c.primary.public_key, all_aa);
    ASSERT_TRUE(c.replica.has_value());
    EXPECT_EQ(c.replica->url, "https://replica.example/gate");
    EXPECT_EQ(c.replica->public_key[31], 0xbb);
    EXPECT_EQ(c.vault_id, 0x2a1b2c3d4e5f6071ull);
    EXPECT_EQ(hex_encode(c.agent_id), "00112233445566778899aabbccddeeff");
    EXPECT_EQ(hex_encode(c.l2_key.expose_secret()), "0f0e0d0c0b0a09080706050403020100");
    EXPECT_EQ(hex_encode(c.device_id), "ffeeddccbbaa99887766554433221100");

    // The token carries the vault id and opens to the L1 key and the agent id.
    ASSERT_EQ(c.expose_token().size(), 93u);
    auto body = base64url_decode(c.expose_token().substr(4, 82));
    ASSERT_TRUE(body);
    auto opened =
        aead_open(token_envelope_key(c.vault_id).expose_secret(), ByteView(*body).subspan(9));
    ASSERT_FALSE(opened.is_error());
    EXPECT_EQ(hex_encode(opened.value().expose_secret()),
              "0f0e0d0c0b0a090800112233445566778899aabbccddeeff");

    // A second load mints another token text with the same content.
    auto again = load_config();
    ASSERT_FALSE(again.is_error());
    EXPECT_NE(again.value().expose_token(), c.expose_token());
}

TEST_F(ConfigFile, Modes) {
    const struct {
        mode_t mode;
        bool accepted;
    } cases[] = {{0600, true},  {0400, true},  {0700, true},  {0640, false},
                 {0604, false}, {0610, false}, {0644, false}, {0601, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        write_json(object_of(kValid), c.mode);
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(c.mode));
        EXPECT_EQ(error_of(load_config()),
                  c.accepted ? std::string("ok")
                             : "TS-2003: config " + path + " has mode " + octal +
                                   " \u2014 must be 0600 (group/other access refused)");
    }
}

TEST_F(ConfigFile, DamagedContainers) {
    auto sealed = seal_container(as_bytes(object_of(kValid)));
    ASSERT_FALSE(sealed.is_error());
    const std::string good(sealed.value().begin(), sealed.value().end());
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x10;
    const struct {
        std::string_view name;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"47 bytes", good.substr(0, 47),
         "TS-2004: config decrypt failed: TS-0008: Config file is corrupt or truncated."},
        {"wrong magic", "TSR2" + good.substr(4),
         "TS-2004: config decrypt failed: TS-0009: Config file is not in Tessarin format."},
        {"one flipped bit", flipped,
         "TS-2004: config decrypt failed: TS-0003: Could not decrypt. The data may be corrupt or "
         "the wrong key was used."},
        {"empty file", "",
         "TS-2004: config decrypt failed: TS-0008: Config file is corrupt or truncated."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_raw(c.bytes);
        EXPECT_EQ(error_of(load_config()), c.expected);
    }
}

TEST_F(ConfigFile, SizeLimit) {
    // The container adds 48 bytes to its JSON; white space after the record is allowed.
    const std::string record = object_of(kValid);
    write_json(record + std::string(65536 - 48 - record.size(), ' '));
    EXPECT_EQ(error_of(load_config()), "ok");
    write_json(record + std::string(65536 - 48 - record.size() + 1, ' '));
    EXPECT_EQ(error_of(load_config()),
              "TS-2003: config " + path + " exceeds 65536 bytes \u2014 not a configuration file");
}

TEST_F(ConfigFile, MissingFile) {
    EXPECT_EQ(error_of(load_config()),
              "TS-2003: Not initialized. Config file not found at " + path +
                  ".\n  This agent needs enrollment first. Ask the vault owner for\n  an "
                  "enrollment blob, then run: tessarin-cli init\n  (Do not attempt to fix this "
                  "yourself \u2014 a human must provide the blob and key.)");
    // Looking created nothing.
    struct stat st {};
    EXPECT_NE(::stat(xdg.c_str(), &st), 0);
}
