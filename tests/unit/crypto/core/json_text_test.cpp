#include "crypto/core/json_text.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

using nlohmann::json;

// What the library writes for a string is the reference: the configuration and the envelope
// must not change by a byte.
TEST(JsonText, StringsAsTheLibraryWritesThem) {
    for (std::string_view text :
         {std::string_view(""), std::string_view("plain"),
          std::string_view("quote \" back \\ slash /"), std::string_view("\b\f\n\r\t"),
          std::string_view("\x01\x1f\x7f", 3), std::string_view("\0nul", 4),
          std::string_view("caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x94\x91"),
          std::string_view("\xE2\x80\xAE bidi")}) {
        SecretBytes out;
        out.append_text("x");
        ASSERT_TRUE(append_json_string(out, text));
        EXPECT_EQ(out.expose_text(), "x" + json(std::string(text)).dump()) << text;
    }
}

TEST(JsonText, NotUtf8IsRefusedAndNothingAppended) {
    SecretBytes out;
    out.append_text("{");
    EXPECT_FALSE(append_json_string(out, "ab\xFF"));
    EXPECT_FALSE(append_json_string(out, "\xED\xA0\x80"));  // a surrogate
    EXPECT_EQ(out.expose_text(), "{");
}

TEST(JsonText, DumpMatchesTheLibrary) {
    const json values[] = {
        json::parse(R"({"q":"OpenRouter","exact":true,"type":"api_key"})"),
        json::parse(R"([1,-2,3.5,null,false,"\u00e9",{"b":[],"a":{}}])"),
        json(std::string(2000, 'x')),
        json::parse(R"({"n":[0,-9223372036854775808,18446744073709551615,1e300,0.1,-0.0,2.5e-8]})"),
        json(),
    };
    for (const json& v : values) {
        auto dumped = dump_json_secret(v);
        ASSERT_FALSE(dumped.is_error());
        EXPECT_EQ(dumped.value().expose_text(), v.dump());
    }
    // Not UTF-8, in a string value and in a key (deep inside): refused, the text not named.
    json bad_key = json::parse(R"({"a":[{"b":1}]})");
    bad_key["a"][0]["\xC3"] = 2;
    for (const json& bad : {json(std::string("a\xFF")), bad_key}) {
        auto dumped = dump_json_secret(bad);
        ASSERT_TRUE(dumped.is_error());
        EXPECT_EQ(dumped.error(), "a string in the value is not valid UTF-8");
    }
}

// A secret JSON value is the value it was given, whatever its depth, and a move leaves nothing
// behind to wipe.
TEST(SecretJson, HoldsTheValueAndMovesWhole) {
    const json cases[] = {
        json("short"),
        json{{"title", "a summary longer than a short string"}, {"data", {{"title", "s"}}}},
        json::array({"a", json::array({"b", 1}), nullptr}),
        json(),
    };
    for (const json& value : cases) {
        SecretJson first(value);
        EXPECT_EQ(first.expose_json(), value);
        SecretJson second(std::move(first));
        EXPECT_EQ(second.expose_json(), value);
        EXPECT_TRUE(first.expose_json().is_null());  // NOLINT(bugprone-use-after-move)
    }
}

}  // namespace
}  // namespace tessarin
