#include "src/commands/audit.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "src/base/text.h"
#include "src/gate/gate.h"
#include "src/term/output.h"
#include "src/term/style.h"

namespace tessarin {

using nlohmann::json;

namespace {

constexpr int64_t k_ms_per_day = 86400000;

// The Gregorian calendar repeats every 400 years, which have this many days: dates far outside
// the range of std::chrono::year are reckoned within one such cycle and moved back.
constexpr int64_t k_days_per_400_years = 146097;

struct CivilDate {
    int64_t year;
    unsigned month, day;
};

CivilDate civil_from_days(int64_t day_number) {
    int64_t cycles = day_number / k_days_per_400_years;
    int64_t within = day_number % k_days_per_400_years;
    if (within < 0) {
        within += k_days_per_400_years;
        --cycles;
    }
    const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{within}}};
    return {int64_t{int(date.year())} + cycles * 400, unsigned(date.month()), unsigned(date.day())};
}

CliError invalid_date(std::string_view text) {
    return CliError(TS_2000, "invalid date: " + std::string(text) + " (use YYYY-MM-DD)");
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
    const std::optional<int64_t> n = parse_signed_decimal(text);
    if (!n)
        return CliError(TS_2000, "--limit: not a number: " + std::string(text));
    if (*n < 1 || *n > 1000)
        return CliError(TS_2000, "--limit must be between 1 and 1000");
    return *n;
}

Result<void> check_audit_limit(std::string_view text) {
    TRY(parse_audit_limit(text));
    return {};
}

Result<int64_t> day_start_ms(std::string_view text) {
    // Three decimals between dashes, a year from 1 to 9999 and a day of the proleptic
    // Gregorian calendar.
    std::vector<std::string_view> pieces;
    for (size_t from = 0; pieces.size() <= 3;) {
        const size_t dash = text.find('-', from);
        pieces.push_back(text.substr(from, dash - from));  // to the end when there is no dash
        if (dash == std::string_view::npos)
            break;
        from = dash + 1;
    }
    if (pieces.size() != 3)
        return invalid_date(text);
    const auto year = parse_unsigned_decimal(pieces[0]);
    const auto month = parse_unsigned_decimal(pieces[1]);
    const auto day = parse_unsigned_decimal(pieces[2]);
    if (!year || !month || !day || *year < 1 || *year > 9999 || *month > 12 || *day > 31)
        return invalid_date(text);
    const std::chrono::year_month_day date{std::chrono::year(int(*year)),
                                           std::chrono::month(unsigned(*month)),
                                           std::chrono::day(unsigned(*day))};
    if (!date.ok())
        return invalid_date(text);
    return std::chrono::sys_days(date).time_since_epoch().count() * k_ms_per_day;
}

std::string format_utc_ms(int64_t ms) {
    // Whole seconds and days rounded toward negative infinity, seconds first (a day count in
    // milliseconds could pass the 64-bit range).
    using namespace std::chrono;
    const seconds second = floor<seconds>(milliseconds(ms));
    const days day_number = floor<days>(second);
    const int64_t second_of_day = (second - day_number).count();
    const CivilDate date = civil_from_days(day_number.count());
    char text[96];
    std::snprintf(text, sizeof text,
                  "%04" PRId64 "-%02u-%02u %02" PRId64 ":%02" PRId64 ":%02" PRId64, date.year,
                  date.month, date.day, second_of_day / 3600, second_of_day / 60 % 60,
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
        const SafeText action = one_line(text_member(event, "action"), 12);
        const SafeText entry = one_line(text_member(event, "title"), 30);
        const SafeText actor = one_line(text_member(event, "actor"), 40);
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
            out.append(style::grey).append(actor.view()).append(style::reset);
        else
            out += actor.view();
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
    if (const std::string* limit = a.text(k_audit_limit))
        content["limit"] = TRY(parse_audit_limit(*limit));
    if (const std::string* actor = a.text(k_audit_actor))
        content["actor"] = *actor;
    if (const std::string* action = a.text(k_audit_action))
        content["action"] = *action;
    if (const std::string* entry = a.text(k_audit_entry))
        content["entry"] = *entry;
    // Dates are checked once the configuration is loaded, --since before --until.
    if (const std::string* since = a.text(k_audit_since))
        content["since"] = TRY(day_start_ms(*since));
    if (const std::string* until = a.text(k_audit_until))
        content["until"] = TRY(day_start_ms(*until)) + (k_ms_per_day - 1);

    json result =
        TRY(gate_call(*session.http, session.config, *session.route, "audit.list", content));
    if (a.flag(k_audit_json)) {
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
