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
                char text[32];
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
    EXPECT_EQ(day_start_ms("+2024-+02-+29").value(), 1709164800000);
    for (const char* text : {"2023-02-29", "2024-2", "2024-02-29-1", "2024-13-01", "0000-01-01",
                             "10000-01-01", "2024-02-", "-2024-02-01", "2024-02-1x"})
        EXPECT_EQ(day_start_ms(text).error().detail,
                  std::string("invalid date: ") + text + " (use YYYY-MM-DD)");
}

// Times round toward the past, and dates far beyond the years std::chrono names (the
// extremes of the range) are still the proleptic Gregorian ones.
TEST(AuditDates, TimesRoundTowardThePast) {
    EXPECT_EQ(format_utc_ms(-1), "1969-12-31 23:59:59");
    EXPECT_EQ(format_utc_ms(-1000), "1969-12-31 23:59:59");
    EXPECT_EQ(format_utc_ms(-1001), "1969-12-31 23:59:58");
    EXPECT_EQ(format_utc_ms(999), "1970-01-01 00:00:00");
    EXPECT_EQ(format_utc_ms(std::numeric_limits<int64_t>::min()), "-292275055-05-16 16:47:04");
    EXPECT_EQ(format_utc_ms(std::numeric_limits<int64_t>::max()), "292278994-08-17 07:12:55");
    EXPECT_EQ(format_utc_ms(-62135596800001), "0000-12-31 23:59:59");
    EXPECT_EQ(format_utc_ms(1036640217600000), "34819-10-27 16:00:00");  // past year 32767
}

TEST(AuditLimit, SignedNumbersInRange) {
    EXPECT_EQ(parse_audit_limit("+7").value(), 7);
    EXPECT_EQ(parse_audit_limit("1000").value(), 1000);
    for (const char* text :
         {"0", "-1", "-5", "1001", "-9223372036854775808", "9223372036854775807"})
        EXPECT_EQ(parse_audit_limit(text).error().detail, "--limit must be between 1 and 1000")
            << text;
    for (const char* text : {"", "+", "-", "1x", "abc", " 5", "5 ", "9223372036854775808",
                             "99999999999999999999", "--1", "0x10", "+-1"})
        EXPECT_EQ(parse_audit_limit(text).error().detail,
                  std::string("--limit: not a number: ") + text);
}

}  // namespace
}  // namespace tessarin
