#include "src/commands/textentry_input.h"

#include <gtest/gtest.h>

#include <string>

namespace tessarin {
namespace {

constexpr std::string_view k_secret = "hunter2-secret";

// A document read_text_entry_json refuses with TS-2000 and this detail, which never repeats
// the secret the document holds.
void expect_refused(const std::string& text, const std::string& detail) {
    auto r = read_text_entry_json(text);
    ASSERT_TRUE(r.is_error());
    EXPECT_EQ(r.error().code(), "TS-2000");
    EXPECT_EQ(r.error().detail, detail);
    EXPECT_EQ(r.error().detail.find(k_secret), std::string::npos);
}

// Documents that begin {"summary":"<secret> and go wrong after it: the parser's failure names
// where, never what.
TEST(ReadTextEntryJson, ParseFailuresAfterASecretNamePositions) {
    struct Case {
        const char* name;
        std::string after_secret;
        const char* failure;
    };
    const Case cases[] = {
        {"unterminated string", "", "EOF while parsing a value at line 1, column 27"},
        {"bad escape", "\\q\"}", "syntax error at line 1, column 28"},
        {"control character in a string", "\x01\"}", "syntax error at line 1, column 27"},
        {"lone surrogate", "\\ud800\"}", "syntax error at line 1, column 33"},
        {"second line", "\",\n\"content\" \"c\"}", "syntax error at line 2, column 11"},
        {"comment", "\" /* c */}", "syntax error at line 1, column 29"},
        {"number overflow", "\",\"content\":-1e400}", "number out of range at line 1, column 39"},
        {"deeply nested, then cut", "\",\"x\":" + std::string(100000, '['),
         "EOF while parsing a value at line 1, column 100033"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_refused("{\"summary\":\"" + std::string(k_secret) + c.after_secret,
                       std::string("invalid JSON on stdin: ") + c.failure);
    }
}

// The other refusals of documents that hold the secret.
TEST(ReadTextEntryJson, OtherFailuresNeverQuoteValues) {
    struct Case {
        const char* name;
        std::string text;
        std::string detail;
    };
    const std::string s(k_secret);
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const Case cases[] = {
        {"deeply nested under an unknown key", "{\"summary\":\"" + s + "\",\"deep\":" + deep + "}",
         "unknown key 'deep' \u2014 a typo would silently lose the value (allowed: summary, "
         "content, status, embeddings, embedding_model)"},
        {"deeply nested top level", deep, "JSON missing \"summary\" field"},
        {"nested summary", "{\"content\":\"" + s + "\",\"summary\":[\"" + s + "\"]}",
         "JSON missing \"summary\" field"},
        // One document, each key once: nothing is silently dropped or replaced.
        {"NUL after the document",
         "{\"summary\":\"s\",\"content\":\"c\"}" + std::string(1, '\0') + "{\"status\":\"" + s +
             "\"}",
         "invalid JSON on stdin: trailing characters at line 1, column 30"},
        {"summary twice", "{\"summary\":1,\"content\":\"c\",\"summary\":\"" + s + "\"}",
         "invalid JSON on stdin: duplicate key at line 1, column 28"},
        {"duplicate key nested",
         "{\"summary\":\"s\",\"content\":\"c\",\"x\":{\"k\":1,\"k\":\"" + s + "\"}}",
         "invalid JSON on stdin: duplicate key at line 1, column 41"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_refused(c.text, c.detail);
    }
}

TEST(ReadTextEntryJson, ValuesAsTheParserDecodesThem) {
    auto r = read_text_entry_json(
        " \n{\"sum\\u006dary\": \"caf\\u00e9 \\ud83d\\ude00\", \"content\": \"a\\nb\\u0000c\",\n"
        "  \"status\": \"archived\", \"embeddings\": \"AAAA\", \"embedding_model\": \"\"}\n\t");
    ASSERT_FALSE(r.is_error()) << r.error().display();
    const TextEntryValues& v = r.value();
    EXPECT_EQ(v.summary.expose_text(), "caf\u00e9 \U0001F600");
    EXPECT_EQ(v.content.expose_text(), std::string_view("a\nb\0c", 5));
    EXPECT_EQ(v.status, "archived");
    EXPECT_EQ(v.embeddings, "AAAA");
    EXPECT_EQ(v.embedding_model, "");
}

TEST(ReadTextEntryJson, OptionalValuesOnlyAsStrings) {
    auto r = read_text_entry_json(
        "{\"summary\":\"s2\",\"content\":\"c\",\"status\":null,\"embeddings\":{\"a\":\"b\"},"
        "\"embedding_model\":[\"m\"]}");
    ASSERT_FALSE(r.is_error()) << r.error().display();
    EXPECT_EQ(r.value().summary.expose_text(), "s2");
    EXPECT_EQ(r.value().status, "draft");
    EXPECT_FALSE(r.value().embeddings);
    EXPECT_FALSE(r.value().embedding_model);

    // Keys of nested objects are not the entry's keys.
    auto nested = read_text_entry_json(
        "{\"summary\":\"s\",\"content\":\"c\",\"embeddings\":{\"tags\":1,\"summary\":2}}");
    ASSERT_FALSE(nested.is_error()) << nested.error().display();
    EXPECT_EQ(nested.value().summary.expose_text(), "s");
}

TEST(ParseLimit, UnsignedDecimalWithOptionalPlus) {
    const std::pair<const char*, std::optional<uint64_t>> cases[] = {
        {"10", 10},
        {"+7", 7},
        {"007", 7},
        {"0", 0},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"++1", std::nullopt},
        {"-1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1e1", std::nullopt},
        {"\u0661", std::nullopt},  // an Arabic-Indic digit is not a decimal digit here
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse_limit(text), expected) << text;
}

TEST(TextEntryChecks, ContentBoundsAndStatusWords) {
    EXPECT_EQ(check_content(SecretBytes()).error().display(), "TS-2000: content must not be empty");
    EXPECT_FALSE(check_content(SecretBytes(65536)).is_error());
    EXPECT_EQ(check_content(SecretBytes(65537)).error().display(),
              "TS-2110: content is 65537 bytes, max is 65536");
    for (const char* word : {"draft", "active", "archived"})
        EXPECT_FALSE(check_status(word).is_error()) << word;
    for (const char* word : {"Draft", "ACTIVE", "archived ", "", "deleted"})
        EXPECT_EQ(
            check_status(word).error().display(),
            "TS-2000: invalid status '" + std::string(word) + "' (use: draft, active, archived)");
}

}  // namespace
}  // namespace tessarin
