// The bounded reader: every read of a file or of standard input goes through it, so no
// input is ever buffered past a stated limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "crypto/core/secret.h"
#include "src/base/errors.h"

namespace tessarin {

inline constexpr size_t k_input_limit = 262144;   // templates, field files, JSON objects
inline constexpr size_t k_content_limit = 65536;  // memory and note content

// Reads the file at source ("-" = standard input), at most limit bytes, as UTF-8 text.
// TS-2111 "opening {}: {}" / "reading {}: {}", TS-2110 "{} exceeds {} bytes (refuse to buffer
// unbounded input)", TS-2000 "{}: not valid UTF-8: {}".
Result<std::string> read_bounded(std::string_view source, size_t limit);
// The same, into a buffer that wipes itself: for secret values (field files, content).
Result<SecretBytes> read_bounded_secret(std::string_view source, size_t limit);

// The bounded reader's failures for what it calls name ("stdin" or the path), also for a reader
// of standard input of its own that fails alike (a line typed at the terminal).
CliError input_unreadable(std::string_view name, int error);  // TS-2111 "reading {}: {}"
CliError input_too_large(std::string_view name, size_t limit);
CliError input_not_utf8(std::string_view name, std::string_view where);

}  // namespace tessarin
