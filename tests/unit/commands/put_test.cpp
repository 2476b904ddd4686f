#include "src/commands/put.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

TEST(Put, SecretNameRule) {
    struct Case {
        const char* name;
        bool secret;
    };
    const Case cases[] = {
        {"key", true},
        {"API Key", true},
        {"ssh_key", true},
        {"Private Key", true},
        {"password", true},
        {"DB_PASSWORD", true},
        {"client secret", true},
        {"token", true},
        {"privateKeyPem", true},
        {"seed phrase", true},
        {"cvv", true},
        {"pin", true},
        {"spinner", true},  // "pin" inside a word still counts
        {"public_key", false},
        {"Public Key", false},
        {"key_type", false},
        {"host_public", false},
        {"my public_key x", false},
        {"username", false},
        {"keys", false},
        {"monkey", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(looks_secret(c.name), c.secret) << c.name;
}

TEST(Put, EffectiveTier) {
    FieldDef plain{"Username", "text", 1, false};
    FieldDef tier3{"Number", "text", 3, false};
    FieldDef labelled{"Recovery Password", "text", 0, false};
    EXPECT_EQ(effective_tier("username", plain), 1);
    EXPECT_EQ(effective_tier("number", tier3), 2);
    EXPECT_EQ(effective_tier("recovery", labelled), 2);  // by its label
    EXPECT_EQ(effective_tier("api_token", plain), 2);    // by its name
    EXPECT_EQ(effective_tier("public_key", FieldDef{"Public key", "text", 0, false}), 0);
}

}  // namespace
}  // namespace tessarin
