#include "src/commands/audit.h"

#include <gtest/gtest.h>

#include <limits>

namespace tessarin {
namespace {

// Every day of a few centuries, across leap rules, converts there and back.
TEST(AuditDates, DayStartAndTimeFormatAreInverse) {
    for (int64_t year : {1, 4, 100, 1600, 1700, 1900, 1969, 1970, 2000, 2024, 2100, 9999}) {
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= 31; ++day) {
                char text[16];
                std::snprintf(text, sizeof text, "%04lld-%02d-%02d", static_cast<long long>(year),
                              month, day);
                auto ms = day_start_ms(text);
                if (ms.is_error())
                    continue;  // no such day
                EXPECT_EQ(format_utc_ms(ms.value()), std::string(text) + " 00:00:00");
                EXPECT_EQ(format_utc_ms(ms.value() + 86399999), std::string(text) + " 23:59:59");
            }
        }
    }
    EXPECT_TRUE(day_start_ms("2024-02-29").value() == 1709164800000);
    EXPECT_TRUE(day_start_ms("2023-02-29").is_error());
}

// Times round toward the past, and the extremes of the range neither overflow nor trap.
TEST(AuditDates, TimesRoundTowardThePast) {
    EXPECT_EQ(format_utc_ms(-1), "1969-12-31 23:59:59");
    EXPECT_EQ(format_utc_ms(-1000), "1969-12-31 23:59:59");
    EXPECT_EQ(format_utc_ms(-1001), "1969-12-31 23:59:58");
    EXPECT_EQ(format_utc_ms(999), "1970-01-01 00:00:00");
    EXPECT_FALSE(format_utc_ms(std::numeric_limits<int64_t>::min()).empty());
    EXPECT_FALSE(format_utc_ms(std::numeric_limits<int64_t>::max()).empty());
}

TEST(AuditLimit, SignedNumbersInRange) {
    EXPECT_EQ(parse_audit_limit("+7").value(), 7);
    EXPECT_EQ(parse_audit_limit("1000").value(), 1000);
    for (const char* text :
         {"0", "-1", "-5", "1001", "-9223372036854775808", "9223372036854775807"})
        EXPECT_EQ(parse_audit_limit(text).error().detail, "--limit must be between 1 and 1000")
            << text;
    for (const char* text : {"", "+", "-", "1x", "abc", " 5", "5 ", "9223372036854775808",
                             "99999999999999999999", "--1", "0x10"})
        EXPECT_EQ(parse_audit_limit(text).error().detail,
                  std::string("--limit: not a number: ") + text);
}

}  // namespace
}  // namespace tessarin
