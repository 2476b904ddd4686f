#include "src/commands/generated_secret.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tessarin {
namespace {

std::string characters_of(std::string_view names) {
    std::string out;
    for (const CharacterSet& set : k_character_sets)
        if (names.find(set.name) != std::string_view::npos)
            out += set.characters;
    return out;
}

TEST(GeneratedSecret, LengthSetsAndAlphabet) {
    struct Case {
        std::optional<std::string> length;
        std::optional<std::string> charset;
        size_t want_length;
        std::string_view want_sets;  // names of the sets every value must draw from
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, 32, "lower,upper,digits,symbols"},
        {"40", "lower,digits", 40, "lower,digits"},
        {"8", "symbols", 8, "symbols"},
        {"8", "digits,upper,lower,symbols", 8, "lower,upper,digits,symbols"},
        {"256", "upper", 256, "upper"},
        {"12", "digits,digits", 12, "digits"},
    };
    for (const Case& c : cases) {
        auto settings = generator_settings(c.length, c.charset);
        ASSERT_FALSE(settings.is_error()) << c.charset.value_or("(all)");
        const std::string allowed = characters_of(c.want_sets);
        // Many draws: a set that is left out now and then would show.
        for (int round = 0; round < 200; ++round) {
            auto value = generate_secret(settings.value());
            ASSERT_FALSE(value.is_error());
            const std::string_view text = value.value().expose_text();
            ASSERT_EQ(text.size(), c.want_length);
            for (char ch : text) ASSERT_NE(allowed.find(ch), std::string::npos) << ch;
            for (const CharacterSet& set : k_character_sets) {
                if (c.want_sets.find(set.name) == std::string_view::npos)
                    continue;
                EXPECT_NE(text.find_first_of(set.characters), std::string_view::npos)
                    << set.name << " missing from a value of " << c.want_sets;
            }
        }
    }
}

TEST(GeneratedSecret, SymbolsAreSafeInShellQuotes) {
    for (char forbidden : std::string_view("'\"\\$`! \t\n"))
        EXPECT_EQ(k_generate_symbols.find(forbidden), std::string_view::npos) << forbidden;
}

TEST(GeneratedSecret, RefusedSpecs) {
    struct Case {
        std::optional<std::string> length;
        std::optional<std::string> charset;
        std::string detail;
    };
    const std::string range = "--length must be a number from 8 to 256";
    const std::string sets = "(use a comma-separated list of: lower, upper, digits, symbols)";
    const Case cases[] = {
        {"7", std::nullopt, range},
        {"257", std::nullopt, range},
        {"", std::nullopt, range},
        {"+12", std::nullopt, range},
        {"99999999999999999999", std::nullopt, range},
        {std::nullopt, "lower,punct", "--charset: unknown set 'punct' " + sets},
        {std::nullopt, "Lower", "--charset: unknown set 'Lower' " + sets},
        {std::nullopt, "lower,", "--charset: unknown set '' " + sets},
        {std::nullopt, "", "--charset: unknown set '' " + sets},
    };
    for (const Case& c : cases) {
        auto settings = generator_settings(c.length, c.charset);
        ASSERT_TRUE(settings.is_error()) << c.detail;
        EXPECT_EQ(settings.error().display(), "TS-2000: " + c.detail);
    }
}

CoreResult<void> failing_source(std::span<uint8_t>) {
    return CoreError(TS_0018);
}

TEST(GeneratedSecret, AFailedRandomSourceIsReported) {
    auto value = generate_secret(GeneratorSettings{}, failing_source);
    ASSERT_TRUE(value.is_error());
    EXPECT_EQ(value.error().code(), "TS-0018");
}

}  // namespace
}  // namespace tessarin
