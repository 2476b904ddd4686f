#include "src/json/reader.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "src/json/value.h"

namespace tessarin {
namespace {

// The value's compact text, or "error: " and the reader's message.
std::string outcome(std::string_view text, size_t max_depth = 4) {
    auto value = parse_json_value(text, max_depth);
    if (value.is_error())
        return "error: " + value.error();
    return value.value().dump();
}

std::string nested(size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonReader, ValuesAsAFullParserReadsThem) {
    const struct {
        std::string text, expected;
    } cases[] = {
        {" {\"b\":[1,-2,3.5,true,false,null],\"a\":{}} \n",
         R"({"a":{},"b":[1,-2,3.5,true,false,null]})"},
        {R"("q\"b\\s\/\b\f\n\r\t")", R"("q\"b\\s/\b\f\n\r\t")"},
        {R"("\u00e9\ud83d\udd11")", "\"\xC3\xA9\xF0\x9F\x94\x91\""},
        {R"("a\u0000b")", R"("a\u0000b")"},  // an escaped NUL is a character like any other
        {"18446744073709551615", "18446744073709551615"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"18446744073709551616", "1.8446744073709552e+19"},  // past 64 bits: a double
        {"-0", "0"},
        {"1E2", "100.0"},
        {"1e-400", "0.0"},  // below the smallest double: zero, as strtod reads it
        {"[]", "[]"},
        {nested(4), "[[[[]]]]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.text), c.expected) << c.text;
        // The value is the one nlohmann's own parser reads.
        EXPECT_EQ(parse_json_value(c.text, 4).value(), nlohmann::json::parse(c.text)) << c.text;
    }
}

TEST(JsonReader, RefusalsNameAPositionAndAKind) {
    using namespace std::string_literals;
    const struct {
        std::string text, expected;
    } cases[] = {
        // Anything after the one document, a NUL byte included.
        {"{}\0"s, "trailing characters at line 1, column 3"},
        {"{\"a\":1}\0{\"b\":2}"s, "trailing characters at line 1, column 8"},
        {"[1] x", "trailing characters at line 1, column 5"},
        {"{}{}", "trailing characters at line 1, column 3"},
        {"\"a\0b\""s, "syntax error at line 1, column 3"},
        {"\xEF\xBB\xBF{}", "syntax error at line 1, column 1"},  // no byte order mark
        // A key given twice in one object, at any depth; the same key in two objects is fine.
        {R"({"a":1,"a":1})", "duplicate key at line 1, column 8"},
        {R"({"a":1,"\u0061":2})", "duplicate key at line 1, column 8"},
        {"[{\"k\":{}},\n {\"k\":{\"x\":0,\"x\":0}}]", "duplicate key at line 2, column 14"},
        // Nesting: four levels here.
        {nested(5), "nesting deeper than 4 levels at line 1, column 5"},
        {"[[[{\"a\":{\"b\":1}}]]]", "nesting deeper than 4 levels at line 1, column 9"},
        // Numbers: the grammar, and the double range.
        {"1e400", "number out of range at line 1, column 1"},
        {"[0,-1e999]", "number out of range at line 1, column 4"},
        {"01", "trailing characters at line 1, column 2"},
        {"[1.]", "syntax error at line 1, column 4"},
        {"-", "EOF while parsing a value at line 1, column 2"},
        {"+1", "syntax error at line 1, column 1"},
        // Strings and literals.
        {"\"\xC3\"", "syntax error at line 1, column 2"},
        {"\"\x1F\"", "syntax error at line 1, column 2"},
        {R"("\x")", "syntax error at line 1, column 3"},
        {R"("\udc00")", "syntax error at line 1, column 2"},
        {R"("\ud800x")", "syntax error at line 1, column 8"},
        {"nul", "EOF while parsing a value at line 1, column 4"},
        {"[tru]", "syntax error at line 1, column 5"},
        // Structure.
        {"", "EOF while parsing a value at line 1, column 1"},
        {" \n ", "EOF while parsing a value at line 2, column 2"},
        {"{\"a\":1,}", "syntax error at line 1, column 8"},
        {"{\"a\" 1}", "syntax error at line 1, column 6"},
        {"{1:2}", "syntax error at line 1, column 2"},
        {"[1 2]", "syntax error at line 1, column 4"},
        {"[1,", "EOF while parsing a value at line 1, column 4"},
        {"{\"a\":1]", "syntax error at line 1, column 7"},
        {"/* c */ 1", "syntax error at line 1, column 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.text), "error: " + c.expected) << c.text;
}

TEST(JsonReader, ManyValuesAndDeepSkipping) {
    // A million empty objects: read in one pass (a callback parser took minutes).
    std::string many = "[";
    for (int i = 0; i < 1000000; ++i) many += i ? ",{}" : "{}";
    many += "]";
    auto value = parse_json_value(many, 2);
    ASSERT_FALSE(value.is_error()) << value.error();
    EXPECT_EQ(value.value().size(), 1000000u);

    // A reader that builds nothing nested follows any depth, without recursion.
    struct Counter : JsonHandler {
        size_t opened = 0;
        bool begin_object() override { return ++opened, true; }
        bool key(std::string_view) override { return true; }
        bool end_object() override { return true; }
        bool begin_array() override { return ++opened, true; }
        bool end_array() override { return true; }
        bool string(SecretBytes&) override { return true; }
        bool number(const JsonNumber&) override { return true; }
        bool boolean(bool) override { return true; }
        bool null() override { return true; }
    } counter;
    EXPECT_FALSE(read_json(nested(500000), k_any_depth, counter).is_error());
    EXPECT_EQ(counter.opened, 500000u);
}

TEST(JsonReader, AHandlerStopsTheReadingInItsOwnWords) {
    struct NoNumbers : JsonHandler {
        bool begin_object() override { return true; }
        bool key(std::string_view) override { return true; }
        bool end_object() override { return true; }
        bool begin_array() override { return true; }
        bool end_array() override { return true; }
        bool string(SecretBytes&) override { return true; }
        bool number(const JsonNumber&) override { return refuse("no numbers here"); }
        bool boolean(bool) override { return true; }
        bool null() override { return true; }
    } handler;
    // The handler's refusal comes first; the syntax error after it is never reached.
    auto r = read_json(R"(["a",1,x])", 4, handler);
    ASSERT_TRUE(r.is_error());
    EXPECT_EQ(r.error(), "no numbers here");
}

}  // namespace
}  // namespace tessarin
