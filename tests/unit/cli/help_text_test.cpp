#include "src/cli/help_text.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

TEST(HelpText, PlainAndStyled) {
    std::string plain = help_text(false);
    EXPECT_EQ(plain.rfind("TESSARIN  v1.7.1\nCredential and secret management", 0), 0u);
    EXPECT_EQ(plain.find("\x1b"), std::string::npos);
    EXPECT_EQ(plain.find("\u27e6"), std::string::npos);
    const std::string tail = "audit trail.\n\nhttps://tessarin.example\n";
    ASSERT_GE(plain.size(), tail.size());
    EXPECT_EQ(plain.substr(plain.size() - tail.size()), tail);

    std::string styled = help_text(true);
    EXPECT_EQ(styled.rfind("\x1b[1mTESSARIN\x1b[0m  \x1b[37;1mv1.7.1\x1b[0m\n", 0), 0u);
    EXPECT_NE(styled.find("\x1b[2mhttps://tessarin.example\x1b[0m\n"), std::string::npos);
    EXPECT_NE(styled.find("  \x1b[38;2;134;239;172minit\x1b[0m    \x1b[2m[blob]\x1b[0m"),
              std::string::npos);
}

}  // namespace
}  // namespace tessarin
