// A strict reader for the small flat records this program reads from JSON (the configuration
// and the enrolment blob): string values by key, or the same values as an array in declared
// order. It is a JSON reader of its own rather than a library's: both records carry the L2
// key, and a library lexer keeps copies of what it read (its token buffers) that nobody wipes.
// Every value read here goes straight into a buffer that wipes itself; a repeated key is seen
// and refused.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/result.h"
#include "crypto/core/secret.h"

namespace tessarin {

struct RecordField {
    std::string_view name;
    bool required;  // absent (or missing from a short array) is an error
    bool nullable;  // null is accepted and reads as absent
};

enum class UnknownKeys { Refuse, Ignore };

// The values in field order; nullopt when absent or null. Each is a wiping buffer (some are
// key material).
class StringRecord {
  public:
    explicit StringRecord(size_t fields) : m_values(fields) {}

    std::optional<SecretBytes>& operator[](size_t i) { return m_values[i]; }
    const std::optional<SecretBytes>& operator[](size_t i) const { return m_values[i]; }
    // The value, or an empty buffer when absent.
    SecretBytes take(size_t i);
    // A value that is not secret, as plain text (empty when absent).
    std::string take_text(size_t i);

  private:
    std::vector<std::optional<SecretBytes>> m_values;
};

// Parses one JSON document (white space around it only). The error message names positions
// and keys, never values: "missing field `l2`", "duplicate field `vault_url`",
// "syntax error at line 1, column 7".
BasicResult<StringRecord, std::string> parse_string_record(std::string_view json,
                                                           std::string_view record_name,
                                                           std::span<const RecordField> fields,
                                                           UnknownKeys unknown);

}  // namespace tessarin
