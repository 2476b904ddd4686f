#include "src/gate/reply.h"

#include <gtest/gtest.h>

namespace tessarin {
namespace {

CoreResult<Reply> decode(std::string_view text, uint8_t marker = 0x10) {
    Bytes payload{marker};
    payload.insert(payload.end(), text.begin(), text.end());
    return decode_reply(payload, 8388608);
}

TEST(Reply, Accepted) {
    auto only_ok = decode(R"({"ok":true})");
    ASSERT_FALSE(only_ok.is_error());
    EXPECT_TRUE(only_ok.value().ok);
    EXPECT_TRUE(only_ok.value().result.is_null());

    auto failed = decode(R"({"ok":false})");
    ASSERT_FALSE(failed.is_error());
    EXPECT_FALSE(failed.value().ok);
    EXPECT_FALSE(failed.value().error);

    auto with_error = decode(R"( {"ok":false,"error":{"code":"E","message":"m"},"result":null} )");
    ASSERT_FALSE(with_error.is_error());
    EXPECT_EQ(with_error.value().error->code, "E");

    auto array = decode(R"([false,null,["QUOTA","slow down"]])");
    ASSERT_FALSE(array.is_error());
    EXPECT_EQ(array.value().error->message, "slow down");

    // Duplicate keys inside the result are the result's business... but refused all the same:
    // two readers of one reply must not see different values.
    EXPECT_TRUE(decode(R"({"ok":true,"result":{"a":1,"a":2}})").is_error());
}

TEST(Reply, Refused) {
    struct Case {
        const char* text;
        uint8_t marker;
        const TessarinError* code;
    } cases[] = {
        {R"({"ok":true,"result":1,"extra":2})", 0x10, &TS_0004},
        {R"({"ok":true,"ok":true})", 0x10, &TS_0004},
        {R"({"result":1})", 0x10, &TS_0004},
        {R"({"ok":"yes"})", 0x10, &TS_0004},
        {R"({"ok":false,"error":{"code":"E"}})", 0x10, &TS_0004},
        {R"({"ok":false,"error":{"code":"E","message":"m","x":1}})", 0x10, &TS_0004},
        {R"({"ok":true} trailing)", 0x10, &TS_0004},
        {R"([true,null,null,null])", 0x10, &TS_0004},
        {R"({"ok":true})", 0x11, &TS_0004},
        {R"({"ok":true})", 0x00, &TS_0004},
        {R"(not json)", 0x10, &TS_0004},
    };
    for (const auto& c : cases) {
        auto r = decode(c.text, c.marker);
        ASSERT_TRUE(r.is_error()) << c.text;
        EXPECT_EQ(r.error().record, c.code) << c.text;
    }
    EXPECT_EQ(decode_reply({}, 8388608).error().record, &TS_0010);
    Bytes big(101, ' ');
    big[0] = 0x10;
    EXPECT_EQ(decode_reply(big, 100).error().record, &TS_0004);
}

TEST(Reply, NothingFollowsTheDocument) {
    // The JSON lexer takes a NUL byte for the end of its input: what follows one must not be
    // skipped unread.
    const std::string nul(1, '\0');
    for (const std::string& text :
         {R"({"ok":true})" + nul, R"({"ok":true})" + nul + "garbage",
          R"([true,1])" + nul + R"([true,2])", R"({"ok":true} )" + nul + " "}) {
        auto r = decode(text);
        ASSERT_TRUE(r.is_error()) << text;
        EXPECT_EQ(r.error().record, &TS_0004);
    }
}

std::string nested(std::string_view open, std::string_view close, size_t depth,
                   std::string_view inner = "") {
    std::string out;
    for (size_t i = 0; i < depth; ++i) out += open;
    out += inner;
    for (size_t i = 0; i < depth; ++i) out += close;
    return out;
}

TEST(Reply, NestingIsBounded) {
    // The Reply object is one container: the result may add k_max_reply_nesting - 1 more.
    const size_t room = k_max_reply_nesting - 1;
    const struct {
        std::string name;
        std::string text;
        bool accepted;
    } cases[] = {
        {"arrays at the limit", R"({"ok":true,"result":)" + nested("[", "]", room) + "}", true},
        {"objects at the limit",
         R"({"ok":true,"result":)" + nested(R"({"a":)", "}", room, "1") + "}", true},
        {"array form at the limit", "[true," + nested("[", "]", room) + "]", true},
        {"arrays one past", R"({"ok":true,"result":)" + nested("[", "]", room + 1) + "}", false},
        {"objects one past",
         R"({"ok":true,"result":)" + nested(R"({"a":)", "}", room + 1, "1") + "}", false},
        {"deep inside an error", R"({"ok":false,"error":)" + nested("[", "]", room + 1) + "}",
         false},
        // About 400 kB, far below the payload cap: refused while parsing, nothing recursive
        // ever walks it.
        {"200000 deep", R"({"ok":true,"result":)" + nested("[", "]", 200000) + "}", false},
        {"200000 deep, never closed", R"({"ok":true,"result":)" + std::string(200000, '['), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = decode(c.text);
        if (c.accepted) {
            ASSERT_FALSE(r.is_error());
            EXPECT_TRUE(r.value().ok);
        } else {
            ASSERT_TRUE(r.is_error());
            EXPECT_EQ(r.error().record, &TS_0004);
        }
    }
}

TEST(Reply, ResultArrivesWhole) {
    auto r = decode(R"({"result":{"entry_id":"e","data":{"fields":[{"label":"k","tier":2}]}},)"
                    R"("ok":true})");
    ASSERT_FALSE(r.is_error());
    EXPECT_EQ(r.value().result.dump(),
              R"({"data":{"fields":[{"label":"k","tier":2}]},"entry_id":"e"})");
}

}  // namespace
}  // namespace tessarin
