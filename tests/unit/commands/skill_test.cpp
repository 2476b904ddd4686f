#include "src/commands/skill.h"

#include <gtest/gtest.h>

#include <string>

namespace tessarin {
namespace {

// "skip", "all", "one:<index>" or "invalid".
std::string describe(MenuChoice choice) {
    switch (choice.kind) {
        case MenuChoice::Kind::Skip:
            return "skip";
        case MenuChoice::Kind::All:
            return "all";
        case MenuChoice::Kind::One:
            return "one:" + std::to_string(choice.index);
        case MenuChoice::Kind::Invalid:
            return "invalid";
    }
    return {};
}

TEST(SkillMenu, Answers) {
    struct Case {
        std::string line;
        size_t detected;
        std::string expected;
    } cases[] = {
        {"", 2, "skip"},
        {" \t\r", 2, "skip"},
        {"s", 2, "skip"},
        {"S", 2, "skip"},
        {" s ", 2, "skip"},
        {"a", 2, "all"},
        {"A", 1, "all"},
        {" A ", 2, "all"},
        {"1", 2, "one:0"},
        {"2", 2, "one:1"},
        {"+2", 2, "one:1"},
        {"02", 2, "one:1"},
        {"\xc2\xa0"
         "2\xe3\x80\x80",
         2, "one:1"},  // no-break space, ideographic space
        {"3", 2, "invalid"},
        {"2", 1, "invalid"},
        {"0", 2, "invalid"},
        {"-1", 2, "invalid"},
        {"+", 2, "invalid"},
        {"++1", 2, "invalid"},
        {"1 2", 2, "invalid"},
        {"1a", 2, "invalid"},
        {"all", 2, "invalid"},
        {"skip", 2, "invalid"},
        {"\xef\xbc\x91", 2, "invalid"},  // a full-width digit one is not a decimal number
        {"18446744073709551617", 2, "invalid"},
        {"184467440737095516160", 2, "invalid"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(parse_menu_answer(c.line, c.detected)), c.expected) << c.line;
}

}  // namespace
}  // namespace tessarin
