// audit: lists the vault's audit trail, filtered by the vault, as a table or as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "src/invocation/command.h"

namespace tessarin {

// --limit N: a signed decimal number ("--limit: not a number: {}") from 1 to 1000.
Result<int64_t> parse_audit_limit(std::string_view text);
Result<void> check_audit_limit(std::string_view text);

// YYYY-MM-DD (years 1 to 9999, proleptic Gregorian) as the milliseconds since the epoch at
// the start of that day (UTC); TS-2000 "invalid date: {} (use YYYY-MM-DD)" otherwise.
Result<int64_t> day_start_ms(std::string_view text);

// Milliseconds since the epoch as "YYYY-MM-DD HH:MM:SS" (UTC), rounding toward the past.
std::string format_utc_ms(int64_t ms);

// Writes the table of events (header and one row each) to standard output, plain or coloured,
// in pieces as the rows are made.
void write_audit_table(const nlohmann::json& events, bool color);

// audit [options]: one "audit.list" request, the events as a table or the result as JSON.
Result<void> run_audit(Invocation& invocation);

}  // namespace tessarin
