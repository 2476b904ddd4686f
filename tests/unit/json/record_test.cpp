#include "src/json/record.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

constexpr RecordField kFields[] = {
    {"a", true, false},
    {"b", false, true},
};

std::string outcome(std::string_view json, UnknownKeys unknown = UnknownKeys::Ignore) {
    auto r = parse_string_record(json, "a test record", kFields, unknown);
    if (r.is_error())
        return "error: " + r.error();
    StringRecord& record = r.value();
    std::string out = "a=" + std::string(record[0]->expose_text());
    if (record[1])
        out += " b=" + std::string(record[1]->expose_text());
    return out;
}

TEST(JsonRecord, StringsDecode) {
    const struct {
        std::string_view json, expected;
    } cases[] = {
        {R"({"a":"x"})", "a=x"},
        {R"({"a":"q\"b\\s\/"})", "a=q\"b\\s/"},
        {R"({"a":"\b\f\n\r\t"})", "a=\b\f\n\r\t"},
        {R"({"a":"\u00e9\u20AC"})", "a=\xC3\xA9\xE2\x82\xAC"},
        {R"({"a":"\ud83d\udd11"})", "a=\xF0\x9F\x94\x91"},  // a surrogate pair
        {R"({"a":"caf\u00e9","b":null})", "a=caf\xC3\xA9"},
        {"{\"a\":\"\xC3\xA9\"}", "a=\xC3\xA9"},
        {R"(["x","y"])", "a=x b=y"},
        {R"(["x"])", "a=x"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.json), c.expected) << c.json;
}

TEST(JsonRecord, MalformedTextIsASyntaxErrorAtItsPlace) {
    const struct {
        std::string_view json, expected;
    } cases[] = {
        {"{\"a\":\"x\x01\"}", "error: syntax error at line 1, column 8"},    // a raw control
        {"{\"a\":\"x\xFF\"}", "error: syntax error at line 1, column 8"},    // not UTF-8
        {R"({"a":"\q"})", "error: syntax error at line 1, column 8"},        // unknown escape
        {R"({"a":"\u12G4"})", "error: syntax error at line 1, column 11"},   // not hex
        {R"({"a":"\udd11"})", "error: syntax error at line 1, column 7"},    // low surrogate alone
        {R"({"a":"\ud83dx"})", "error: syntax error at line 1, column 13"},  // high alone
        {R"({"a":"x" "b":"y"})", "error: syntax error at line 1, column 10"},
        {R"({"a":"x",})", "error: syntax error at line 1, column 10"},
        {R"({"z":01,"a":"x"})", "error: syntax error at line 1, column 7"},
        {R"({"a":-})", "error: syntax error at line 1, column 7"},
        {R"({"a":1.})", "error: syntax error at line 1, column 8"},
        {R"({"a":tru})", "error: syntax error at line 1, column 9"},
        {"{\"a\":\n\"x\"\n}x", "error: trailing characters at line 3, column 2"},
        {R"({"a":"x)", "error: EOF while parsing a value at line 1, column 8"},
        {R"({"a":"x",)", "error: EOF while parsing a value at line 1, column 10"},
        {R"({"a":tr)", "error: EOF while parsing a value at line 1, column 8"},
        {"", "error: EOF while parsing a value at line 1, column 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.json), c.expected) << c.json;
}

TEST(JsonRecord, KindsOfOtherValues) {
    const struct {
        std::string_view json, expected;
    } cases[] = {
        {R"({"a":1})", "error: invalid type: integer, expected a string for `a`"},
        {R"({"a":-12})", "error: invalid type: integer, expected a string for `a`"},
        {R"({"a":1e3})", "error: invalid type: number with a fraction, expected a string for `a`"},
        {R"({"a":99999999999999999999})",
         "error: invalid type: number with a fraction, expected a string for `a`"},
        {R"({"a":true})", "error: invalid type: boolean, expected a string for `a`"},
        {R"({"a":null})", "error: invalid type: null, expected a string for `a`"},
        {R"({"a":[]})", "error: invalid type: array, expected a string for `a`"},
        {R"({"a":{}})", "error: invalid type: object, expected a string for `a`"},
        {R"(true)", "error: invalid type: boolean, expected a test record"},
        {R"(["x","y","z"])", "error: invalid length: more than 2 elements, expected a test record"},
        {R"([])", "error: invalid length 0, expected a test record with 2 elements"},
        {R"({})", "error: missing field `a`"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.json), c.expected) << c.json;
}

TEST(JsonRecord, UnknownMembersAreSkippedAtAnyDepth) {
    EXPECT_EQ(outcome(R"({"z":{"n":[1,{"m":"\"}"},[]],"o":{}},"a":"x","y":[[],[[null]]]})"), "a=x");
    // Nested far deeper than any call stack would allow: skipped without recursion.
    const std::string deep = std::string(500000, '[') + std::string(500000, ']');
    EXPECT_EQ(outcome(R"({"z":)" + deep + R"(,"a":"x"})"), "a=x");
    EXPECT_EQ(outcome(R"({"z":)" + std::string(500000, '[')),
              "error: EOF while parsing a value at line 1, column 500006");
    EXPECT_EQ(outcome(R"({"z":[1,}],"a":"x"})"), "error: syntax error at line 1, column 9");
    EXPECT_EQ(outcome(R"({"z":1})", UnknownKeys::Refuse),
              "error: unknown field `z`, expected one of `a`, `b`");
    // An unknown key is still a key: never twice in one object.
    EXPECT_EQ(outcome(R"({"z":1,"a":"x","z":2})"), "error: duplicate key at line 1, column 16");
    EXPECT_EQ(outcome(R"({"a":"x","a":"y"})"), "error: duplicate field `a`");
}

// Each member as key=kind:value, the value being a string's text or a kept value's JSON.
std::string members(std::string_view json) {
    static constexpr std::string_view keep[] = {"k"};
    auto r = parse_members(json, 3, keep);
    if (r.is_error())
        return "error: " + r.error();
    std::string out = r.value().is_object ? "object" : "not an object";
    for (const JsonMember& m : r.value().members) {
        out += " " + m.key + "=" + std::to_string(static_cast<int>(m.kind));
        if (m.kind == JsonKind::String)
            out += ":" + std::string(m.text.expose_text());
        if (m.value)
            out += ":" + m.value->dump();
    }
    return out;
}

TEST(JsonMembers, TopLevelMembersByKindNestedValuesOnlyWhereKept) {
    // Kinds: 0 null, 1 boolean, 2 integer, 3 float, 4 string, 5 object, 6 array.
    const struct {
        std::string_view json, expected;
    } cases[] = {
        {R"({"s":"t\u00e9","n":null,"b":true,"i":-1,"f":1.5,"o":{"s":"x"},"a":["y"]})",
         "object s=4:t\xC3\xA9 n=0 b=1 i=2 f=3 o=5 a=6"},
        {R"({"k":[1,{"s":"x"},[]],"o":{"k":"inner"}})", R"(object k=6:[1,{"s":"x"},[]] o=5)"},
        {R"({"k":{"z":[null]}})", R"(object k=5:{"z":[null]})"},
        {R"({"k":"text"})", "object k=4:text"},
        {R"(["s",{"k":1}])", "not an object"},
        {R"("s")", "not an object"},
        {"{}", "object"},
        // The reader's rules hold: nesting, repeated keys, one document.
        {R"({"k":[[[]]]})", "error: nesting deeper than 3 levels at line 1, column 8"},
        {R"({"o":{"a":1,"a":2}})", "error: duplicate key at line 1, column 13"},
        {std::string_view("{\"s\":\"a\"}\0{\"s\":\"b\"}", 19),
         "error: trailing characters at line 1, column 10"},
    };
    for (const auto& c : cases) EXPECT_EQ(members(c.json), c.expected) << c.json;
}

}  // namespace
}  // namespace tessarin
