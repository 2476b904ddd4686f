#include "crypto/core/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

using namespace tessarin;

namespace {

std::vector<uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> all_byte_values() {
    std::vector<uint8_t> out(256);
    for (int i = 0; i < 256; ++i) out[i] = static_cast<uint8_t>(i);
    return out;
}

}  // namespace

// RFC 4648 section 10, in both alphabets.
TEST(Base64, Rfc4648Vectors) {
    struct Case {
        std::string_view plain, standard, url;
    };
    const Case cases[] = {
        {"", "", ""},
        {"f", "Zg==", "Zg"},
        {"fo", "Zm8=", "Zm8"},
        {"foo", "Zm9v", "Zm9v"},
        {"foob", "Zm9vYg==", "Zm9vYg"},
        {"fooba", "Zm9vYmE=", "Zm9vYmE"},
        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.plain));
        EXPECT_EQ(base64_encode(bytes_of(c.plain)), c.standard);
        EXPECT_EQ(base64url_encode(bytes_of(c.plain)), c.url);
        EXPECT_EQ(base64_decode(c.standard), bytes_of(c.plain));
        EXPECT_EQ(base64url_decode(c.url), bytes_of(c.plain));
    }
}

// Every byte value survives both alphabets; 0xFB 0xFF shows where they differ.
TEST(Base64, RoundTripsEveryByteAndUsesItsOwnAlphabet) {
    const auto all = all_byte_values();
    for (size_t len = 0; len <= all.size(); len += 1) {
        std::vector<uint8_t> data(all.begin(), all.begin() + len);
        EXPECT_EQ(base64_decode(base64_encode(data)), data) << len;
        EXPECT_EQ(base64url_decode(base64url_encode(data)), data) << len;
        auto secret = base64_decode_secret(base64_encode(data));
        ASSERT_TRUE(secret) << len;
        EXPECT_EQ(
            std::vector<uint8_t>(secret->expose_secret().begin(), secret->expose_secret().end()),
            data);
        auto url_secret = base64url_decode_secret(base64url_encode(data));
        ASSERT_TRUE(url_secret) << len;
        EXPECT_EQ(url_secret->size(), len);
    }
    const std::vector<uint8_t> edge = {0xFB, 0xFF};
    EXPECT_EQ(base64_encode(edge), "+/8=");
    EXPECT_EQ(base64url_encode(edge), "-_8");
}

// Strict standard decoding: every deviation from what an encoder writes is refused, and the
// fault says why and where.
TEST(Base64, StandardDecodingIsStrict) {
    using K = Base64Fault::Kind;
    struct Case {
        std::string_view text;
        K kind;
        size_t offset;
        std::string message;
    };
    const Case cases[] = {
        {"Zg", K::InvalidPadding, 0, "Invalid padding"},  // padding missing
        {"Zg=", K::InvalidPadding, 0, "Invalid padding"},
        {"Zg===", K::InvalidPadding, 0, "Invalid padding"},
        {"Zm8", K::InvalidPadding, 0, "Invalid padding"},
        {"Zm8==", K::InvalidPadding, 0, "Invalid padding"},
        {"====", K::InvalidPadding, 0, "Invalid padding"},
        {"Zh==", K::InvalidLastSymbol, 1, "Invalid last symbol 104, offset 1."},  // "f" + 1 bit
        {"Zm9=", K::InvalidLastSymbol, 2, "Invalid last symbol 57, offset 2."},
        {"Z===", K::InvalidLength, 0, "Invalid input length."},
        {"Zm9vY", K::InvalidLength, 0, "Invalid input length."},
        {"Zg==Zg==", K::InvalidByte, 2, "Invalid symbol 61, offset 2."},  // padding inside
        {"Zm9v\n", K::InvalidByte, 4, "Invalid symbol 10, offset 4."},
        {" Zm9v", K::InvalidByte, 0, "Invalid symbol 32, offset 0."},
        {"Zm-v", K::InvalidByte, 2, "Invalid symbol 45, offset 2."},  // URL-safe symbol
        {"Zm_v", K::InvalidByte, 2, "Invalid symbol 95, offset 2."},
        {std::string_view("Zm\0v", 4), K::InvalidByte, 2, "Invalid symbol 0, offset 2."},
        {"Zm9\xC3\xA9", K::InvalidByte, 3, "Invalid symbol 195, offset 3."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_FALSE(base64_decode(c.text));
        EXPECT_FALSE(base64_decode_secret(c.text));
        auto checked = base64_decode_checked(c.text);
        ASSERT_TRUE(checked.is_error());
        EXPECT_EQ(checked.error().kind, c.kind);
        EXPECT_EQ(checked.error().offset, c.offset);
        EXPECT_EQ(checked.error().message(), c.message);
    }
    auto ok = base64_decode_checked("Zm9vYg==");
    ASSERT_FALSE(ok.is_error());
    EXPECT_EQ(ok.value(), bytes_of("foob"));
}

TEST(Base64, UrlDecodingRefusesPaddingForeignSymbolsAndStrayBits) {
    const std::string_view refused[] = {
        "Zg==",  // padding is not part of this form
        "Zm8=", "Zm+v", "Zm/v", "Zh", "Zm9", "Z", "Zm9vY", "Zm9v ", "Zm9v\n",
    };
    for (auto text : refused) {
        SCOPED_TRACE(std::string(text));
        EXPECT_FALSE(base64url_decode(text));
        EXPECT_FALSE(base64url_decode_secret(text));
    }
}

TEST(Hex, EncodesLowerCaseAndDecodesEitherCase) {
    EXPECT_EQ(hex_encode(all_byte_values()).substr(0, 8), "00010203");
    EXPECT_EQ(hex_encode(std::vector<uint8_t>{0x9f, 0xab, 0xcd, 0xef}), "9fabcdef");
    EXPECT_EQ(hex_encode({}), "");
    const auto all = all_byte_values();
    EXPECT_EQ(hex_decode(hex_encode(all)), all);
    const std::vector<uint8_t> expected = {0xab, 0xcd, 0xef, 0x09};
    EXPECT_EQ(hex_decode("abcdef09"), expected);
    EXPECT_EQ(hex_decode("ABCDEF09"), expected);
    EXPECT_EQ(hex_decode("aBcDeF09"), expected);
    EXPECT_EQ(hex_decode(""), std::vector<uint8_t>{});
}

TEST(Hex, RefusesAnythingButPairsOfHexDigits) {
    const std::string_view refused[] = {
        "a",  "abc", "0g", "g0", "0x12", " 12", "12 ",
        "1-", "@0",  "`0", "G0", "/0",   ":0",  std::string_view("\0\0", 2)};
    for (auto text : refused) EXPECT_FALSE(hex_decode(text)) << text;
}
