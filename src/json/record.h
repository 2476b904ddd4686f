// Flat records read from untrusted JSON through the one JSON reader: the configuration and the
// enrolment blob (string values by key, or the same values as an array in declared order), and
// the objects piped to put --json and memory/note create --json (every top-level member, by
// key). These carry secrets (the L2 key, field values, note contents), so no library lexer
// reads them (its token buffers keep copies that nobody wipes): every string value goes
// straight from the text into a buffer that wipes itself.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/core/result.h"
#include "crypto/core/secret.h"
#include "src/json/reader.h"

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

// One member of a top-level object.
struct JsonMember {
    std::string key;
    JsonKind kind = JsonKind::Null;
    SecretBytes text;  // the value, when it is a string
    // The whole value, when it is not a string and its key is one the caller asked to keep.
    std::optional<nlohmann::json> value;
};

// The members of a document's top-level object, in document order (no key twice). A document
// that is not an object has none; what is nested inside it is read and passed over.
struct JsonMembers {
    bool is_object = false;
    std::vector<JsonMember> members;

    JsonMember* find(std::string_view key);
};

// Parses one JSON document (white space around it only, containers nested at most max_depth
// deep). Values nested in members are passed over, except those under the keys in keep,
// which are built whole. The error message is the reader's.
BasicResult<JsonMembers, std::string> parse_members(std::string_view json, size_t max_depth,
                                                    std::span<const std::string_view> keep);

}  // namespace tessarin
