// The one reader of JSON text that comes from outside the program: gate replies, the objects
// piped to put --json and memory/note create --json, the configuration record and the
// enrolment blob. One pass over the text in time linear in its length, the document handed to
// a handler as it is read (a value builder, a record reader). Its rules hold for every
// document: RFC 8259 JSON in UTF-8, containers nested at most as deep as the caller allows, no
// key twice in one object, nothing after the document but white space (a NUL byte is not white
// space), and failures that name a position ("line L, column C") and a kind, never the text.
// String values are decoded straight into a buffer that wipes itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "crypto/core/result.h"
#include "crypto/core/secret.h"

namespace tessarin {

// Containers a document piped to put --json may hold inside one another; deeper ones are
// refused (a value built from it is copied and written recursively).
inline constexpr size_t k_max_input_depth = 64;
// For readers that keep nothing nested: the reader follows any depth without recursion.
inline constexpr size_t k_any_depth = std::numeric_limits<size_t>::max();

enum class JsonKind { Null, Boolean, Integer, Float, String, Object, Array };

// A number as JSON libraries read it: an integer that fits 64 bits (signed when negative,
// unsigned otherwise), else a double. A number beyond the double range is refused.
struct JsonNumber {
    enum class Type { Signed, Unsigned, Float };
    Type type = Type::Unsigned;
    int64_t signed_value = 0;
    uint64_t unsigned_value = 0;
    double float_value = 0;

    JsonKind kind() const { return type == Type::Float ? JsonKind::Float : JsonKind::Integer; }
};

// Receives the document as it is read, in document order. Each call returns false to stop
// reading; the handler says why with refuse(), and read_json fails with that message. A key
// is named before the reader checks it against the object's other keys, so a handler may
// refuse a repeated key of its own in its own words first.
class JsonHandler {
  public:
    virtual ~JsonHandler() = default;

    virtual bool begin_object() = 0;
    virtual bool key(std::string_view name) = 0;
    virtual bool end_object() = 0;
    virtual bool begin_array() = 0;
    virtual bool end_array() = 0;
    // The decoded value; the handler may move it out. What it leaves is wiped.
    virtual bool string(SecretBytes& value) = 0;
    virtual bool number(const JsonNumber& value) = 0;
    virtual bool boolean(bool value) = 0;
    virtual bool null() = 0;

    const std::string& refusal() const { return m_refusal; }

  protected:
    // Stops the reading with this message (kinds and names, never a value).
    bool refuse(std::string message) {
        m_refusal = std::move(message);
        return false;
    }

  private:
    std::string m_refusal;
};

// Reads one document (white space around it only), containers nested at most max_depth deep.
// Messages: "syntax error at line 1, column 7", "EOF while parsing a value at line 2,
// column 1", "trailing characters at line 1, column 3", "nesting deeper than 64 levels at
// line 1, column 65", "duplicate key at line 1, column 9", "number out of range at line 1,
// column 6", or the handler's refusal.
BasicResult<void, std::string> read_json(std::string_view text, size_t max_depth,
                                         JsonHandler& handler);

}  // namespace tessarin
