#include "src/commands/audit.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "src/gate/gate.h"
#include "src/help_text.h"
#include "src/output.h"
#include "src/text.h"

namespace tessarin {

using nlohmann::json;

namespace {

constexpr int64_t k_ms_per_day = 86400000;

// A decimal number with an optional sign ("+" only when `allow_minus` is false). False for
// anything else, overflow included.
bool parse_decimal(std::string_view text, bool allow_minus, int64_t& out) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || (allow_minus && text[0] == '-'))) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;
    // Accumulated toward the negative side, which holds one more value than the positive.
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        int digit = c - '0';
        if (value < (std::numeric_limits<int64_t>::min() + digit) / 10)
            return false;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<int64_t>::min())
            return false;
        value = -value;
    }
    out = value;
    return true;
}

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool is_leap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t days_in_month(int64_t year, int64_t month) {
    static constexpr int k_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : k_days[month - 1];
}

// Days from 1970-01-01 to the given date, years counted from March so that the leap day
// ends a year.
int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = floor_div(year, 400);
    const int64_t year_of_era = year - era * 400;
    const int64_t month_from_march = (month + 9) % 12;
    const int64_t day_of_year = (153 * month_from_march + 2) / 5 + day - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

struct CivilDate {
    int64_t year, month, day;
};

CivilDate civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = floor_div(days, 146097);
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * day_of_year + 2) / 153;
    const int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    return {year_of_era + era * 400 + (month <= 2), month, day};
}

void append_padded(std::string& out, std::string_view text, size_t width) {
    out.append(text);
    for (size_t n = char_count(text); n < width; ++n) out.push_back(' ');
}

// A member of an event when it is a string, else "-".
std::string_view text_member(const json& event, const char* key) {
    if (event.is_object()) {
        auto it = event.find(key);
        if (it != event.end() && it->is_string())
            return it->get_ref<const std::string&>();
    }
    return "-";
}

int64_t created_at(const json& event) {
    if (!event.is_object())
        return 0;
    auto it = event.find("created_at");
    if (it == event.end())
        return 0;
    if (it->is_number_unsigned()) {
        uint64_t v = it->get<uint64_t>();
        return v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                   ? static_cast<int64_t>(v)
                   : 0;
    }
    return it->is_number_integer() ? it->get<int64_t>() : 0;
}

}  // namespace

Result<int64_t> parse_audit_limit(std::string_view text) {
    int64_t n = 0;
    if (!parse_decimal(text, true, n))
        return CliError(TS_2000, "--limit: not a number: " + std::string(text));
    if (n < 1 || n > 1000)
        return CliError(TS_2000, "--limit must be between 1 and 1000");
    return n;
}

Result<void> check_audit_limit(std::string_view text) {
    TRY(parse_audit_limit(text));
    return {};
}

Result<int64_t> day_start_ms(std::string_view text) {
    int64_t parts[3];
    size_t count = 0;
    bool ok = true;
    for (size_t from = 0;;) {
        size_t dash = text.find('-', from);
        std::string_view part =
            text.substr(from, dash == std::string_view::npos ? dash : dash - from);
        if (count == 3 || !parse_decimal(part, false, parts[count])) {
            ok = false;
            break;
        }
        ++count;
        if (dash == std::string_view::npos)
            break;
        from = dash + 1;
    }
    ok = ok && count == 3;
    if (ok) {
        const int64_t year = parts[0], month = parts[1], day = parts[2];
        ok = year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
             day <= days_in_month(year, month);
        if (ok)
            return days_from_civil(year, month, day) * k_ms_per_day;
    }
    return CliError(TS_2000, "invalid date: " + std::string(text) + " (use YYYY-MM-DD)");
}

std::string format_utc_ms(int64_t ms) {
    const int64_t seconds = floor_div(ms, 1000);
    const int64_t days = floor_div(seconds, 86400);
    const int64_t second_of_day = seconds - days * 86400;
    const CivilDate date = civil_from_days(days);
    char text[96];
    std::snprintf(text, sizeof text,
                  "%04" PRId64 "-%02" PRId64 "-%02" PRId64 " %02" PRId64 ":%02" PRId64
                  ":%02" PRId64,
                  date.year, date.month, date.day, second_of_day / 3600, second_of_day / 60 % 60,
                  second_of_day % 60);
    return text;
}

void write_audit_table(const json& events, bool color) {
    // Rows go out in pieces of about this size as they are made: a reply of a million tiny
    // events makes some 70 MB of table, which is never held whole.
    constexpr size_t k_piece = 65536;
    std::string out;
    out.reserve(k_piece + 512);
    std::string header;
    append_padded(header, "TIME", 20);
    header += ' ';
    append_padded(header, "ACTION", 12);
    header += ' ';
    append_padded(header, "ENTRY", 30);
    header += " ACTOR";
    if (color)
        out.append(style::grey).append(style::bold).append(header).append(style::reset);
    else
        out += header;
    out += '\n';
    for (const json& event : events) {
        const std::string time = format_utc_ms(created_at(event));
        const std::string action = one_line(text_member(event, "action"), 12);
        const std::string entry = one_line(text_member(event, "title"), 30);
        const std::string actor = one_line(text_member(event, "actor"), 40);
        if (color)
            out.append(style::dim);
        append_padded(out, time, 20);
        if (color)
            out.append(style::reset);
        out += ' ';
        append_padded(out, action, 12);
        out += ' ';
        append_padded(out, entry, 30);
        out += ' ';
        if (color)
            out.append(style::grey).append(actor).append(style::reset);
        else
            out += actor;
        out += '\n';
        if (out.size() >= k_piece) {
            write_stdout(out);
            out.clear();
        }
    }
    write_stdout(out);
}

Result<void> run_audit(Invocation& invocation) {
    const Arguments& a = invocation.args();
    Session& session = *TRY(invocation.session());
    json content = json::object();
    if (const std::string* limit = a.text("limit"))
        content["limit"] = TRY(parse_audit_limit(*limit));
    for (const char* key : {"actor", "action", "entry"})
        if (const std::string* value = a.text(key))
            content[key] = *value;
    // Dates are checked once the configuration is loaded, --since before --until.
    if (const std::string* since = a.text("since"))
        content["since"] = TRY(day_start_ms(*since));
    if (const std::string* until = a.text("until"))
        content["until"] = TRY(day_start_ms(*until)) + (k_ms_per_day - 1);

    json result = TRY(gate_call(*session.http, session.config, "audit.list", content));
    if (a.flag("json")) {
        write_stdout(result.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        return {};
    }
    const json* events = nullptr;
    if (result.is_object()) {
        auto it = result.find("events");
        if (it != result.end() && it->is_array())
            events = &*it;
    }
    if (!events || events->empty()) {
        write_stdout("No audit events found.\n");
        return {};
    }
    write_audit_table(*events, color_enabled());
    return {};
}

}  // namespace tessarin
