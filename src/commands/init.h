// init: enrolment. Opens the sealed enrolment blob with the enrolment key (read from standard
// input, never from the command line) and writes the configuration file once.
#pragma once

#include <string>
#include <string_view>

#include "crypto/core/secret.h"
#include "src/base/errors.h"
#include "src/config/config.h"
#include "src/invocation/command.h"

namespace tessarin {

inline constexpr std::string_view k_usage_init =
    "Usage: tessarin-cli init [blob]\n"
    "\n"
    "Enroll from a sealed enrollment blob (from the vault UI).\n"
    "If [blob] is omitted, it is read from stdin.\n"
    "The enrollment key is prompted for interactively (never on\n"
    "the command line); when piped, pass it as the line after the\n"
    "blob:  printf '%s\\n%s\\n' BLOB KEY | tessarin-cli init\n";
inline constexpr HelpEntry k_help_init{
    .args = "[blob]",
    .summary = "Enroll from a sealed enrollment blob.",
    .notes =
        "Reads stdin if no arg. Key prompted (never on argv).\n"
        "Pipe: printf '%s\\n%s\\n' BLOB KEY | tessarin-cli init"};
inline constexpr PositionalDef k_init_positionals[] = {{.name = "blob", .help_word = true}};

// init [blob], the blob argument read (or absent: then it comes from standard input).
Result<void> run_init(Invocation& invocation);

// Opens the blob (base64url) with the key (base64url of 32 bytes) and builds the record it
// describes, without the device id. Every refusal is TS-2001 with one of the fixed details;
// nothing secret is ever part of a detail.
Result<Config> config_from_enrolment(std::string_view blob_text, std::string_view key_text);

// One line of standard input, read a byte at a time so nothing after the line feed is
// consumed. At most 65536 bytes; TS-2006 for an overlong, unreadable or non-UTF-8 line.
// `what` names the input in messages ("enrollment blob", "enrollment key").
Result<SecretBytes> read_input_line(std::string_view what);

// The lines of the enrolment summary that describe the configuration: Vault, Replica (when
// with_replica), Vault ID, the shortened Agent id and the Config path.
void print_enrolment(const Config& config, bool with_replica, const std::string& path);

// The agent id as the summary shows it: up to 8 characters whole, then the first 8 and "…",
// and from 24 characters on also everything from the 25th.
std::string shorten_agent_id(std::string_view id);

}  // namespace tessarin
