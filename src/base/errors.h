// CliError: the failure value of a command (a detail text plus one catalogue record), the
// command line's TS-2nnn records, and Result<T> = value or CliError.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "crypto/core/catalogue.h"
#include "crypto/core/result.h"

namespace tessarin {

// What became of a gate request that failed, as the transport and the gate told it: set
// where the failure happens, read by the failover decision.
enum class GateOutcome : unsigned char {
    none,              // not a failure of the exchange with the gate
    not_sent,          // name resolution, connection or TLS handshake failed: the gate saw nothing
    unanswered,        // the request went out, then a timeout or a cut connection
    refused,           // an HTTP status outside 2xx (in http_status)
    gate_unavailable,  // the gate answered not ok, naming an HTTP 502, 503, 504 or a dark gate
    abandoned,         // the command no longer wanted the answer and cut the request short
};

struct CliError {
    std::string detail;  // may be empty: the record's message is shown instead
    const TessarinError* error = nullptr;
    GateOutcome outcome = GateOutcome::none;
    long http_status = 0;  // for GateOutcome::refused

    CliError() = default;
    CliError(const TessarinError& record, std::string detail_text = {})
        : detail(std::move(detail_text)), error(&record) {}

    // "TS-2000: <detail>" or, with an empty detail, "TS-2003: Config file not found."
    std::string display() const;
    // Adds "\n  <note>" (first setting an empty detail to the record's message).
    void append_note(std::string_view note);
    std::string_view code() const { return error->code; }
};

template <typename T>
using Result = BasicResult<T, CliError>;

// How an inner crypto-core record is written into a detail: "TS-xxxx: message", or its debug
// form "TessarinError { ... }".
enum class InnerForm : unsigned char { display, debug };

// The one way a crypto-core failure becomes a command's failure: under `record`, with the
// detail "<context><inner record in `form`>". Returns the function TRY_OR wants; called at
// once for a failure already in hand: in_context(TS_2004, "...: ", InnerForm::display)(inner).
inline auto in_context(const TessarinError& record, std::string_view context, InnerForm form) {
    return [&record, context, form](CoreError inner) {
        std::string detail(context);
        detail += form == InnerForm::debug ? debug_form(inner.get()) : display(inner.get());
        return CliError(record, std::move(detail));
    };
}

#define TESSARIN_CLI_RECORD(name, code, msg, tech, hint, sev) \
    inline constexpr TessarinError name{code, msg, tech, hint, Severity::sev, Component::Cli};

TESSARIN_CLI_RECORD(TS_2000, "TS-2000", "Invalid command or argument.", "Argument parsing failed",
                    "Run 'tessarin-cli help' for usage.", Error)
TESSARIN_CLI_RECORD(TS_2001, "TS-2001", "Enrollment token is invalid.",
                    "Token base64/AEAD/length rejection",
                    "Copy the token exactly from the vault UI. Generate a new one if needed.",
                    Error)
TESSARIN_CLI_RECORD(TS_2002, "TS-2002", "Could not write the config file.",
                    "Sidecar config write failed",
                    "Check filesystem permissions on the binary's directory.", Error)
TESSARIN_CLI_RECORD(TS_2003, "TS-2003", "Config file not found.",
                    "Sidecar config file missing or unreadable",
                    "Run 'tessarin-cli init <token>' to initialize.", Error)
TESSARIN_CLI_RECORD(TS_2004, "TS-2004", "Config file is corrupt.",
                    "Sidecar config HMAC/AEAD verification failed",
                    "Delete the config file and re-initialize with 'tessarin-cli init <token>'.",
                    Error)
TESSARIN_CLI_RECORD(TS_2006, "TS-2006", "Could not read input.",
                    "Reading enrollment token from stdin failed",
                    "Paste the token and press Enter, or pipe it: echo TOKEN | tessarin-cli init",
                    Error)
TESSARIN_CLI_RECORD(TS_2020, "TS-2020", "Could not reach the vault.",
                    "HTTP request failed (connect/DNS/TLS)",
                    "Check your network connection and vault URL. Verify the vault is running.",
                    Error)
TESSARIN_CLI_RECORD(TS_2021, "TS-2021", "Unexpected response from the vault.",
                    "Vault returned unparseable JSON",
                    "Ensure CLI and vault versions are compatible.", Error)
TESSARIN_CLI_RECORD(TS_2045, "TS-2045", "Multiple entries matched.",
                    "Search returned more than one result",
                    "Use a more specific query or the exact entry title.", Error)
TESSARIN_CLI_RECORD(TS_2046, "TS-2046", "No entry matched.",
                    "Search returned zero results within agent scope",
                    "Check the entry name. It may not exist or may be outside your agent's scope.",
                    Error)
TESSARIN_CLI_RECORD(TS_2047, "TS-2047", "The vault returned an error.",
                    "Vault returned non-2xx status",
                    "Check the vault logs or contact the vault operator.", Error)
TESSARIN_CLI_RECORD(TS_2048, "TS-2048", "This field requires a hardware key.",
                    "L3 field requested \u2014 agents cannot decrypt L3",
                    "L3 (identity) fields are only accessible via the browser with a hardware key "
                    "tap.",
                    Error)
TESSARIN_CLI_RECORD(TS_2049, "TS-2049", "Could not decrypt field.",
                    "Field decryption failed (AES-GCM tag mismatch)",
                    "The entry may be corrupt. Ask the vault owner to re-save it.", Error)
TESSARIN_CLI_RECORD(TS_2050, "TS-2050", "Field not found on this entry.",
                    "Requested field label does not exist on the entry",
                    "Check the field name. Fields are case-insensitive.", Error)
TESSARIN_CLI_RECORD(TS_2060, "TS-2060", "Could not open template file.", "render: file open failed",
                    "Check the file path and permissions.", Error)
TESSARIN_CLI_RECORD(TS_2061, "TS-2061", "Template references too many entries.",
                    "render: distinct entry count exceeds cap",
                    "This cap protects against bulk credential extraction. Split into multiple "
                    "templates if legitimate.",
                    Error)
TESSARIN_CLI_RECORD(TS_2062, "TS-2062", "Invalid tessarin:// reference in template.",
                    "render: malformed tessarin:// reference",
                    "Format: tessarin://EntryName/fieldLabel", Error)
TESSARIN_CLI_RECORD(TS_2063, "TS-2063", "Could not resolve a reference in the template.",
                    "render: entry or field not found for tessarin:// reference",
                    "Check that the entry exists and the field name is correct.", Error)
TESSARIN_CLI_RECORD(TS_2080, "TS-2080", "Entry type is required.", "put: --type not specified",
                    "Specify --type (credential, note, card, identity).", Error)
TESSARIN_CLI_RECORD(TS_2081, "TS-2081", "Could not build entry data.",
                    "put: JSON body construction failed",
                    "This is likely a bug. Report it with the full command.", Bug)
TESSARIN_CLI_RECORD(TS_2100, "TS-2100", "Could not install skill file.",
                    "skill --install: file write failed",
                    "Check filesystem permissions on the skill directory.", Error)
TESSARIN_CLI_RECORD(TS_2110, "TS-2110", "Content exceeds the 64KB limit.",
                    "Content size exceeds 65536 bytes", "Split the content into smaller entries.",
                    Error)
TESSARIN_CLI_RECORD(TS_2111, "TS-2111", "Could not read content.",
                    "Content file or stdin read failed",
                    "Check the file path and permissions, or pipe content via stdin.", Error)

#undef TESSARIN_CLI_RECORD

}  // namespace tessarin
