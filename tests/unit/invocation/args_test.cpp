#include "src/invocation/args.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

std::vector<std::string> tokens_of(std::vector<std::string> argv) {
    ArgLexer lexer(std::move(argv));
    std::vector<std::string> out;
    for (;;) {
        auto t = lexer.next();
        if (t.is_error()) {
            out.push_back("error: " + t.error().detail);
            return out;
        }
        if (!t.value())
            return out;
        out.push_back(debug_form(*t.value()));
    }
}

TEST(ArgLexer, TokenStream) {
    struct Case {
        std::vector<std::string> argv;
        std::vector<std::string> tokens;
    } cases[] = {
        {{"get", "x"}, {"Value(\"get\")", "Value(\"x\")"}},
        {{"-h"}, {"Short('h')"}},
        {{"-ab"}, {"Short('a')", "Short('b')"}},
        {{"--verbose"}, {"Long(\"verbose\")"}},
        {{"-", "--", "--json", "-x"}, {"Value(\"-\")", "Value(\"--json\")", "Value(\"-x\")"}},
        {{"say \"hi\"\n"}, {"Value(\"say \\\"hi\\\"\\n\")"}},
        {{"-\xc3\xa9"}, {"Short('\xc3\xa9')"}},
        // A value after "=" given to an option that takes none is refused at the next read.
        {{"--json=yes"}, {"Long(\"json\")", "error: unexpected argument for option '--json'"}},
    };
    for (const auto& c : cases) EXPECT_EQ(tokens_of(c.argv), c.tokens);
}

TEST(ArgLexer, ValueCall) {
    ArgLexer lexer({"--field", "key", "--type=api", "--field"});
    EXPECT_TRUE(lexer.next().value()->is_long("field"));
    EXPECT_EQ(lexer.value().value(), "key");
    EXPECT_TRUE(lexer.next().value()->is_long("type"));
    EXPECT_EQ(lexer.value().value(), "api");
    EXPECT_TRUE(lexer.next().value()->is_long("field"));
    auto missing = lexer.value();
    ASSERT_TRUE(missing.is_error());
    EXPECT_EQ(missing.error().display(), "TS-2000: missing argument for option '--field'");
}

TEST(ArgLexer, ValueMayLookLikeAnOption) {
    ArgLexer lexer({"--field", "--json"});
    ASSERT_TRUE(lexer.next().value()->is_long("field"));
    EXPECT_EQ(lexer.value().value(), "--json");
    EXPECT_FALSE(lexer.next().value().has_value());
}

TEST(ArgLexer, Utf8Value) {
    ArgLexer lexer({"--field", "k\xff"});
    ASSERT_TRUE(lexer.next().value()->is_long("field"));
    auto v = lexer.utf8_value();
    ASSERT_TRUE(v.is_error());
    EXPECT_EQ(v.error().display(), "TS-2000: --field: not valid UTF-8");
    EXPECT_EQ(require_utf8("q\xff", "query").error().display(), "TS-2000: query: not valid UTF-8");
    EXPECT_EQ(unexpected(ArgToken{ArgToken::Kind::Value, "extra"}).display(),
              "TS-2000: unexpected: Value(\"extra\")");
}

}  // namespace
}  // namespace tessarin
