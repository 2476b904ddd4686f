#include "src/term/output.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

TEST(TerminalSafe, RemovesControlsKeepsTabAndNewline) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain title", "plain title"},
        {"a\x1b[31mred", "a[31mred"},  // ESC
        {"over\rwrite", "overwrite"},  // carriage return
        {"del\x7f", "del"},            // DEL
        {"c1\xc2\x9b"
         "2J",
         "c12J"},                        // U+009B, the C1 control sequence introducer
        {"c1\xc2\x80\xc2\x9f.", "c1."},  // both ends of the C1 range
        {"\xe2\x80\xae"
         "evil",
         "evil"},                                        // U+202E right-to-left override
        {"\xe2\x80\xaa\xe2\x81\xa6x\xe2\x81\xa9", "x"},  // U+202A, U+2066, U+2069
        {"tab\there\nnext", "tab\there\nnext"},
        {"caf\xc3\xa9 \xe2\x80\x94 \xe2\x80\xa9", "caf\xc3\xa9 \xe2\x80\x94 \xe2\x80\xa9"},  // kept
        {std::string("nul\x00"
                     "byte",
                     8),
         "nulbyte"},
        {"stray\x9b"
         "byte\xff",
         "straybyte"},  // not UTF-8: dropped
    };
    for (const auto& c : cases) EXPECT_EQ(std::string(terminal_safe(c.in).view()), c.out) << c.in;
}

TEST(TerminalSafe, NoCopyWhenNothingIsRemoved) {
    std::string clean = "clean \xe2\x9c\x93 text\twith tab\n";
    SafeText safe = terminal_safe(clean);
    EXPECT_FALSE(safe.copied());
    EXPECT_EQ(safe.view().data(), clean.data());
    EXPECT_TRUE(terminal_safe("x\x1b").copied());
}

// What a filtered text shows, as a string gtest can compare and print.
std::string shown(const SafeText& text) {
    return std::string(text.view());
}

TEST(OneLine, DropsLineBreaksAndCutsAtCharacters) {
    EXPECT_EQ(shown(one_line("a\tb\nc\rd\x1b", 200)), "abcd");
    EXPECT_EQ(shown(one_line("\xe2\x80\xae"
                             "title",
                             200)),
              "title");
    // Counted in characters, not bytes: a multi-byte character is never split.
    EXPECT_EQ(shown(one_line("\xc3\xa9\xc3\xa9\xc3\xa9", 2)), "\xc3\xa9\xc3\xa9");
    std::string long_title(250, 'x');
    EXPECT_EQ(shown(one_line(long_title, 200)), std::string(200, 'x'));
    // Removed characters do not count towards the limit.
    EXPECT_EQ(shown(one_line("\n\n\nabc", 3)), "abc");
}

TEST(OneLine, NoCopyWhenTheTextPassesWhole) {
    struct Case {
        std::string in;
        size_t n;
        bool copied;
    };
    const Case cases[] = {
        {"plain title", 200, false}, {"exactly", 7, false},    {"", 0, false},
        {"cut here", 3, true},       {"tab\there", 200, true}, {"new\nline", 200, true},
    };
    for (const auto& c : cases) {
        SafeText safe = one_line(c.in, c.n);
        EXPECT_EQ(safe.copied(), c.copied) << c.in;
        if (!c.copied)
            EXPECT_EQ(safe.view().data(), c.in.data()) << c.in;
    }
}

}  // namespace
}  // namespace tessarin
