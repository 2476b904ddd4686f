#include "src/commands/init.h"

#include <gtest/gtest.h>

using namespace tessarin;

TEST(ShortenAgentId, ByCharacterCount) {
    const struct {
        std::string_view id, shown;
    } cases[] = {
        {"", "(empty)"},
        {"abc", "abc"},
        {"12345678", "12345678"},
        {"123456789", "12345678\u2026"},
        {"12345678901234567890123", "12345678\u2026"},
        {"123456789012345678901234", "12345678\u2026"},
        {"1234567890123456789012345", "12345678\u20265"},
        {"00112233445566778899aabbccddeeff", "00112233\u2026ccddeeff"},
        // Characters, not bytes: eight two-byte letters are shown whole.
        {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9",
         "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"},
        {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9",
         "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u2026"},
    };
    for (const auto& c : cases) EXPECT_EQ(shorten_agent_id(c.id), c.shown) << c.id;
}
