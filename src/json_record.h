// A strict reader for the small flat records this program reads from JSON (the configuration
// and the enrolment blob): string values by key, or the same values as an array in declared
// order. nlohmann's DOM keeps the last of two equal keys; this reader sees every key, so a
// repeated one is refused.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/result.h"

namespace tessarin {

struct RecordField {
    std::string_view name;
    bool required;  // absent (or missing from a short array) is an error
    bool nullable;  // null is accepted and reads as absent
};

enum class UnknownKeys { Refuse, Ignore };

// The values in field order; nullopt when absent or null. The strings are wiped when the
// record is dropped (some are key material).
class StringRecord {
  public:
    explicit StringRecord(size_t fields) : m_values(fields) {}
    StringRecord(StringRecord&&) = default;
    StringRecord& operator=(StringRecord&&) = default;
    ~StringRecord();

    std::optional<std::string>& operator[](size_t i) { return m_values[i]; }
    const std::optional<std::string>& operator[](size_t i) const { return m_values[i]; }
    // The value, or the empty text when absent.
    std::string take(size_t i);

  private:
    std::vector<std::optional<std::string>> m_values;
};

// Parses one JSON document (white space around it only). The error message names positions
// and keys, never values: "missing field `l2`", "duplicate field `vault_url`",
// "syntax error at line 1, column 7".
BasicResult<StringRecord, std::string> parse_string_record(std::string_view json,
                                                           std::string_view record_name,
                                                           std::span<const RecordField> fields,
                                                           UnknownKeys unknown);

}  // namespace tessarin
