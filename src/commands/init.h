// init: enrolment. Opens the sealed enrolment blob with the enrolment key (read from standard
// input, never from the command line) and writes the configuration file once.
#pragma once

#include <string>
#include <string_view>

#include "crypto/core/secret.h"
#include "src/command.h"
#include "src/config.h"
#include "src/errors.h"

namespace tessarin {

inline constexpr std::string_view k_usage_init =
    "Usage: tessarin-cli init [blob]\n"
    "\n"
    "Enroll from a sealed enrollment blob (from the vault UI).\n"
    "If [blob] is omitted, it is read from stdin.\n"
    "The enrollment key is prompted for interactively (never on\n"
    "the command line); when piped, pass it as the line after the\n"
    "blob:  printf '%s\\n%s\\n' BLOB KEY | tessarin-cli init\n";

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

// Runs stty echo / stty -echo (/bin/stty, then /usr/bin/stty) on standard input, without a
// shell and without the dynamic linker's variables. True when one of them exited with 0.
bool set_terminal_echo(bool on);

// The agent id as the summary shows it: up to 8 characters whole, then the first 8 and "…",
// and from 24 characters on also everything from the 25th.
std::string shorten_agent_id(std::string_view id);

}  // namespace tessarin
