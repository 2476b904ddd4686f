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

}  // namespace
}  // namespace tessarin
