// The failure catalogue: one constant record per failure code. The cryptographic core
// owns the TS-00nn records; the command line adds its TS-2nnn records in src/errors.h.
#pragma once

#include <string>
#include <string_view>

#include "crypto/core/result.h"

namespace tessarin {

enum class Severity { Error, Bug };
// Who owns a record: the cryptographic core or the command line (src/errors.h).
enum class Component { Crypto, Cli };

// One catalogue record. Records are constants; nothing allocates them.
struct TessarinError {
    std::string_view code;
    std::string_view user_msg;
    std::string_view tech_msg;
    std::string_view resolution;
    Severity severity;
    Component component;
};

// A failure of the cryptographic core: a bare reference to its catalogue record.
struct CoreError {
    const TessarinError* record = nullptr;
    CoreError() = default;
    explicit CoreError(const TessarinError& r) : record(&r) {}
    const TessarinError& get() const { return *record; }
};

template <typename T>
using CoreResult = BasicResult<T, CoreError>;

// "TS-0003: Could not decrypt. ..."
std::string display(const TessarinError& error);
// TessarinError { code: "TS-0004", user_msg: "...", ..., severity: Error, component: Crypto }
std::string debug_form(const TessarinError& error);
// A text in double quotes with quotes, backslashes and control characters escaped.
std::string debug_quote(std::string_view text);

std::string_view severity_name(Severity s);
std::string_view component_name(Component c);

#define TESSARIN_CRYPTO_RECORD(name, code, msg, tech, hint, sev) \
    inline constexpr TessarinError name{code, msg, tech, hint, Severity::sev, Component::Crypto};

TESSARIN_CRYPTO_RECORD(TS_0001, "TS-0001", "Encryption key has an invalid length.",
                       "Key must be 16 or 32 bytes (use the _l1 API for 8-byte keys)",
                       "This usually means a corrupt config file. Re-initialize with a fresh "
                       "enrollment token.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0002, "TS-0002", "Could not read the encrypted data.",
                       "Base64 decoding failed on field ciphertext",
                       "The encrypted entry may be corrupt. Re-save the entry from the vault UI.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0003, "TS-0003",
                       "Could not decrypt. The data may be corrupt or the wrong key was used.",
                       "AES-GCM authentication tag did not verify",
                       "Verify you are using the correct vault and agent token. If the problem "
                       "persists, the entry may need to be re-saved by the vault owner.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0004, "TS-0004", "The token is invalid or corrupt.",
                       "Token structure does not match expected TSK format",
                       "Re-issue the agent token from the vault UI (Agents page).", Error)
TESSARIN_CRYPTO_RECORD(TS_0005, "TS-0005", "An unexpected internal error occurred.",
                       "Internal invariant violated \u2014 this is a bug in Tessarin",
                       "Report this error code to security@tessarin.example.", Bug)
TESSARIN_CRYPTO_RECORD(TS_0006, "TS-0006", "Decrypted data is not valid text.",
                       "UTF-8 validation failed on decrypted plaintext",
                       "The entry may have been corrupted. Re-save the entry from the vault UI.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0008, "TS-0008", "Config file is corrupt or truncated.",
                       "TSR1 file shorter than minimum header size (4 + 16 + 12 + 16 = 48 bytes)",
                       "Re-initialize: run 'tessarin-proxy init' or 'tessarin-cli init' with a "
                       "fresh enrollment token.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0009, "TS-0009", "Config file is not in Tessarin format.",
                       "TSR1 magic bytes do not match \u2014 expected 'TSR1' header",
                       "The config file may have been overwritten. Re-initialize with a fresh "
                       "enrollment token.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0010, "TS-0010", "Encrypted data is truncated.",
                       "AES-GCM ciphertext shorter than nonce(12) + tag(16) = 28 bytes",
                       "The encrypted data was corrupted in transit or storage. Re-save the entry.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0011, "TS-0011", "Enrollment token contains invalid characters.",
                       "Enrollment token is not valid base64url",
                       "Copy the enrollment token exactly as shown in the vault UI. Do not modify "
                       "it.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0012, "TS-0012", "Enrollment token is corrupt or expired.",
                       "Enrollment token decryption or parsing failed",
                       "Generate a new enrollment token from the vault UI (Agents page).", Error)
TESSARIN_CRYPTO_RECORD(TS_0018, "TS-0018", "Secure randomness is not available.",
                       "The CSPRNG (OS / host_random_bytes) failed to supply bytes",
                       "This is a platform fault. Restart the browser or app; report it if it "
                       "persists.",
                       Error)
TESSARIN_CRYPTO_RECORD(TS_0027, "TS-0027", "The server's key is not valid. Nothing was sent.",
                       "X25519 gave the all-zero shared secret (low-order public key, RFC 7748 "
                       "\u00a76.1)",
                       "Check the configured gate/POP Noise public key; an all-zero or low-order "
                       "key is never valid.",
                       Error)
TESSARIN_CRYPTO_RECORD(
    TS_0031, "TS-0031",
    "This client was set up with an older enrolment blob. Make a new one in your vault and "
    "connect again.",
    "enrolment blob without pop_pub (the home POP's Noise static key); blobs minted before "
    "2026-10-04 are refused",
    "Since 2026-10-04 the enrolment blob carries the home POP's Noise public key (pop_pub) and "
    "every client (CLI, proxy, extension) seals to it; there is no compiled-in key. Make a new "
    "client blob in the vault (Clients, Issue enrollment) and connect again.",
    Error)

#undef TESSARIN_CRYPTO_RECORD

}  // namespace tessarin
