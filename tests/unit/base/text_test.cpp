#include "src/base/text.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

TEST(TrimSpace, UnicodeWhiteSpace) {
    EXPECT_EQ(trim_space(" \t\r\n\v\f x y \n"), "x y");
    EXPECT_EQ(trim_space("\xC2\xA0x\xE3\x80\x80"), "x");      // U+00A0, U+3000
    EXPECT_EQ(trim_space("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // U+200B is not white space
    EXPECT_EQ(trim_space("   "), "");
    EXPECT_EQ(trim_space(""), "");
}

TEST(TrimSpace, EveryWideSpaceAtEitherEnd) {
    for (std::string_view space : {"\u0085", "\u00A0", "\u1680", "\u2000", "\u2005", "\u200A",
                                   "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"}) {
        const std::string text = std::string(space) + "a" + std::string(space) + "b" +
                                 std::string(space) + std::string(space);
        EXPECT_EQ(trim_space(text), "a" + std::string(space) + "b") << text;
    }
    // A lone continuation byte or a cut-off sequence is not white space.
    EXPECT_EQ(trim_space("\x85x\xE2\x80"), "\x85x\xE2\x80");
}

}  // namespace
}  // namespace tessarin
