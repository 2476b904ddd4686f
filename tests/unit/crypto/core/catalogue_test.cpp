#include "crypto/core/catalogue.h"

#include <gtest/gtest.h>

#include <set>

#include "src/base/errors.h"

namespace tessarin {
namespace {

TEST(Catalogue, DebugFormOfARecord) {
    EXPECT_EQ(debug_form(TS_0004),
              "TessarinError { code: \"TS-0004\", user_msg: \"The token is invalid or corrupt.\", "
              "tech_msg: \"Token structure does not match expected TSK format\", resolution: "
              "\"Re-issue the agent token from the vault UI (Agents page).\", severity: Error, "
              "component: Crypto }");
    // The em dash stays as it is; severity and component are bare names.
    EXPECT_NE(debug_form(TS_0005).find("violated \u2014 this is a bug"), std::string::npos);
    EXPECT_NE(debug_form(TS_0005).find("severity: Bug, component: Crypto }"), std::string::npos);
    EXPECT_NE(debug_form(TS_2081).find("severity: Bug, component: Cli }"), std::string::npos);
    EXPECT_NE(debug_form(TS_0005).find("security@tessarin.example."), std::string::npos);
}

TEST(Catalogue, DebugQuoteEscapes) {
    struct Case {
        std::string_view in, out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"a\nb\tc\rd", "\"a\\nb\\tc\\rd\""},
        {std::string_view("\x1b[0m", 4), "\"\\u{1b}[0m\""},
        {"caf\u00e9", "\"caf\u00e9\""},
        {"c1\u0085x", "\"c1\\u{85}x\""},
        {"\u202eevil\u2066", "\"\\u{202e}evil\\u{2066}\""},
    };
    for (const auto& c : cases) EXPECT_EQ(debug_quote(c.in), c.out) << c.in;
}

TEST(Catalogue, CodesAreUniqueAndWellFormed) {
    const TessarinError* all[] = {
        &TS_0001, &TS_0002, &TS_0003, &TS_0004, &TS_0005, &TS_0006, &TS_0008, &TS_0009,
        &TS_0010, &TS_0011, &TS_0012, &TS_0018, &TS_0027, &TS_0031, &TS_2000, &TS_2001,
        &TS_2002, &TS_2003, &TS_2004, &TS_2006, &TS_2020, &TS_2021, &TS_2045, &TS_2046,
        &TS_2047, &TS_2048, &TS_2049, &TS_2050, &TS_2060, &TS_2061, &TS_2062, &TS_2063,
        &TS_2080, &TS_2081, &TS_2100, &TS_2110, &TS_2111};
    std::set<std::string_view> codes;
    for (const TessarinError* e : all) {
        EXPECT_TRUE(codes.insert(e->code).second) << e->code;
        ASSERT_EQ(e->code.size(), 7u);
        EXPECT_EQ(e->code.substr(0, 3), "TS-");
        bool crypto = e->code[3] == '0';
        EXPECT_EQ(e->component, crypto ? Component::Crypto : Component::Cli) << e->code;
        EXPECT_FALSE(e->user_msg.empty());
    }
}

TEST(CliErrorDisplay, DetailOrMessage) {
    EXPECT_EQ(CliError(TS_2003).display(), "TS-2003: Config file not found.");
    EXPECT_EQ(CliError(TS_2000, "missing <query> (try: tessarin-cli get OpenAI)").display(),
              "TS-2000: missing <query> (try: tessarin-cli get OpenAI)");
    EXPECT_EQ(display(TS_0003),
              "TS-0003: Could not decrypt. The data may be corrupt or the wrong key was used.");
}

TEST(CliErrorDisplay, AppendNoteStartsFromTheMessageWhenDetailIsEmpty) {
    CliError empty(TS_2046);
    empty.append_note("read quota: 1/3 this minute");
    EXPECT_EQ(empty.display(), "TS-2046: No entry matched.\n  read quota: 1/3 this minute");

    CliError detailed(TS_2046, "no entry matched 'x'");
    detailed.append_note("one");
    detailed.append_note("two");
    EXPECT_EQ(detailed.display(), "TS-2046: no entry matched 'x'\n  one\n  two");
}

// TRY returns the failure early and otherwise yields the value.
Result<int> parse_positive(int v) {
    if (v <= 0)
        return CliError(TS_2000, "not positive");
    return v;
}
Result<int> doubled(int v) {
    int x = TRY(parse_positive(v));
    return x * 2;
}
Result<void> check(int v) {
    TRY(parse_positive(v));
    return {};
}

TEST(ResultTry, PropagatesFailuresAndYieldsValues) {
    EXPECT_EQ(doubled(21).value(), 42);
    auto failed = doubled(-1);
    ASSERT_TRUE(failed.is_error());
    EXPECT_EQ(failed.error().display(), "TS-2000: not positive");
    EXPECT_FALSE(check(1).is_error());
    EXPECT_TRUE(check(0).is_error());
}

}  // namespace
}  // namespace tessarin
