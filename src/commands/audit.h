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

inline constexpr std::string_view k_usage_audit =
    "Usage: tessarin-cli audit [options]\n"
    "\n"
    "Options:\n"
    "  --limit N       Max events (default 50)\n"
    "  --actor <id>    Filter by actor\n"
    "  --action <act>  Filter by action (read, totp, create, etc.)\n"
    "  --entry <name>  Filter by entry name (substring)\n"
    "  --since <date>  Events after date (YYYY-MM-DD)\n"
    "  --until <date>  Events before date (YYYY-MM-DD)\n"
    "  --json          Machine-readable JSON output\n";
inline constexpr HelpEntry k_help_audit{.summary = "View the vault's audit trail.",
                                        .notes =
                                            "Options: --actor, --action, --entry, --since,\n"
                                            "--until, --limit, --json"};
// The number is checked as soon as it is read, before the configuration is loaded.
inline constexpr OptionDef k_audit_limit{.name = "limit",
                                         .kind = OptionKind::Text,
                                         .check = check_audit_limit,
                                         .about = "At most N events, 1 to 1000 (default 50)",
                                         .value_name = "N"};
inline constexpr OptionDef k_audit_actor{
    .name = "actor", .kind = OptionKind::Text, .about = "Filter by actor", .value_name = "id"};
inline constexpr OptionDef k_audit_action{.name = "action",
                                          .kind = OptionKind::Text,
                                          .about = "Filter by action (read, totp, create, ...)",
                                          .value_name = "action"};
inline constexpr OptionDef k_audit_entry{.name = "entry",
                                         .kind = OptionKind::Text,
                                         .about = "Filter by entry name (substring)",
                                         .value_name = "name"};
inline constexpr OptionDef k_audit_since{.name = "since",
                                         .kind = OptionKind::Text,
                                         .about = "Events from this day on (UTC)",
                                         .value_name = "YYYY-MM-DD"};
inline constexpr OptionDef k_audit_until{.name = "until",
                                         .kind = OptionKind::Text,
                                         .about = "Events up to the end of this day (UTC)",
                                         .value_name = "YYYY-MM-DD"};
inline constexpr OptionDef k_audit_json{.name = "json", .about = "Print the vault's reply as JSON"};
inline constexpr OptionDef k_audit_options[] = {k_audit_limit, k_audit_actor, k_audit_action,
                                                k_audit_entry, k_audit_since, k_audit_until,
                                                k_audit_json};

// audit [options]: one "audit.list" request, the events as a table or the result as JSON.
Result<void> run_audit(Invocation& invocation);

}  // namespace tessarin
