// libFuzzer harness for audit's argument texts: --since/--until dates and --limit numbers, and
// the time column for any created_at. A date that is accepted prints back as itself at
// midnight and its last millisecond; a limit that is accepted is in range; no time overflows.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "src/commands/audit.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessarin;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto ms = day_start_ms(text); !ms.is_error()) {
        const std::string day = format_utc_ms(ms.value()).substr(0, 10);
        check(format_utc_ms(ms.value()) == day + " 00:00:00");
        check(format_utc_ms(ms.value() + 86399999) == day + " 23:59:59");
        check(day_start_ms(day).value() == ms.value());
    } else {
        check(ms.error().detail == "invalid date: " + std::string(text) + " (use YYYY-MM-DD)");
    }

    if (auto limit = parse_audit_limit(text); !limit.is_error())
        check(limit.value() >= 1 && limit.value() <= 1000);

    if (size >= 8) {
        int64_t ms;
        std::memcpy(&ms, data, sizeof ms);
        check(format_utc_ms(ms).size() >= 19);
    }
    return 0;
}
