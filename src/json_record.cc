#include "src/json_record.h"

#include <cstdint>

#include "crypto/core/utf8.h"

namespace tessarin {

SecretBytes StringRecord::take(size_t i) {
    if (!m_values[i])
        return {};
    return std::move(*m_values[i]);
}

std::string StringRecord::take_text(size_t i) {
    if (!m_values[i])
        return {};
    return std::string(m_values[i]->expose_text());
}

namespace {

// "line 2, column 5" for a byte offset (columns count bytes, both from 1).
std::string where(std::string_view text, size_t offset) {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string backticked(std::string_view name) {
    std::string out = "`";
    out.append(name);
    out.push_back('`');
    return out;
}

enum class Kind { Null, Boolean, Integer, Float, String, Map, Sequence };

std::string_view kind_name(Kind kind) {
    switch (kind) {
        case Kind::Null:
            return "null";
        case Kind::Boolean:
            return "boolean";
        case Kind::Integer:
            return "integer";
        case Kind::Float:
            return "floating point";
        case Kind::String:
            return "string";
        case Kind::Map:
            return "map";
        case Kind::Sequence:
            break;
    }
    return "sequence";
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void append_utf8(SecretBytes& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<uint8_t>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<uint8_t>(0xC0 | cp >> 6));
        out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<uint8_t>(0xE0 | cp >> 12));
        out.push_back(static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<uint8_t>(0xF0 | cp >> 18));
        out.push_back(static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
    }
}

// One pass over the text: RFC 8259 JSON, with the record's rules applied as values arrive.
class RecordReader {
  public:
    RecordReader(std::string_view input, std::string_view record_name,
                 std::span<const RecordField> fields, UnknownKeys unknown)
        : m_in(input),
          m_record_name(record_name),
          m_fields(fields),
          m_unknown(unknown),
          m_record(fields.size()),
          m_seen(fields.size(), false) {}

    bool parse() {
        skip_space();
        if (at_end())
            return eof();
        const char c = m_in[m_pos];
        if (c == '{') {
            if (!read_object())
                return false;
        } else if (c == '[') {
            if (!read_array())
                return false;
        } else {
            Kind kind;
            if (!read_scalar(kind, nullptr))
                return false;
            return fail("invalid type: " + std::string(kind_name(kind)) + ", expected " +
                        std::string(m_record_name));
        }
        skip_space();
        if (!at_end())
            return fail("trailing characters at " + where(m_in, m_pos));
        return true;
    }

    const std::string& error() const { return m_error; }
    StringRecord take_record() { return std::move(m_record); }

  private:
    bool at_end() const { return m_pos >= m_in.size(); }

    void skip_space() {
        while (!at_end() && (m_in[m_pos] == ' ' || m_in[m_pos] == '\t' || m_in[m_pos] == '\n' ||
                             m_in[m_pos] == '\r'))
            ++m_pos;
    }

    bool fail(std::string message) {
        if (m_error.empty())
            m_error = std::move(message);
        return false;
    }
    bool eof() { return fail("EOF while parsing a value at " + where(m_in, m_in.size())); }
    bool syntax(size_t at) { return fail("syntax error at " + where(m_in, at)); }
    // The character at the current position was not what the grammar allows there.
    bool unexpected() { return at_end() ? eof() : syntax(m_pos); }
    bool expect(char c) {
        skip_space();
        if (at_end() || m_in[m_pos] != c)
            return unexpected();
        ++m_pos;
        return true;
    }

    // The object form: members by name.
    bool read_object() {
        ++m_pos;
        skip_space();
        if (!at_end() && m_in[m_pos] == '}') {
            ++m_pos;
            return finish_object();
        }
        for (;;) {
            skip_space();
            if (at_end() || m_in[m_pos] != '"')
                return unexpected();
            SecretBytes name;
            if (!read_string(&name))
                return false;
            long target = k_skip;
            for (size_t i = 0; i < m_fields.size(); ++i) {
                if (m_fields[i].name == name.expose_text()) {
                    if (m_seen[i])
                        return fail("duplicate field " + backticked(m_fields[i].name));
                    m_seen[i] = true;
                    target = static_cast<long>(i);
                }
            }
            if (target == k_skip && m_unknown == UnknownKeys::Refuse)
                return fail("unknown field " + backticked(name.expose_text()) +
                            ", expected one of " + field_list());
            if (!expect(':'))
                return false;
            if (!read_member(target))
                return false;
            switch (after_member('}')) {
                case After::Another:
                    continue;
                case After::Closed:
                    return finish_object();
                case After::Failed:
                    return false;
            }
        }
    }

    // After a member: a comma (another member follows) or the closing bracket.
    enum class After { Another, Closed, Failed };
    After after_member(char close) {
        skip_space();
        if (at_end()) {
            eof();
            return After::Failed;
        }
        if (m_in[m_pos] == ',' || m_in[m_pos] == close)
            return m_in[m_pos++] == ',' ? After::Another : After::Closed;
        syntax(m_pos);
        return After::Failed;
    }

    bool finish_object() {
        for (size_t i = 0; i < m_fields.size(); ++i)
            if (m_fields[i].required && !m_seen[i])
                return fail("missing field " + backticked(m_fields[i].name));
        return true;
    }

    // The array form: the values in declared order; missing ones at the end take their
    // defaults when they may.
    bool read_array() {
        ++m_pos;
        size_t next = 0;
        skip_space();
        if (!at_end() && m_in[m_pos] == ']') {
            ++m_pos;
            return finish_array(next);
        }
        for (;;) {
            skip_space();
            if (next >= m_fields.size()) {
                // The value is read first: a malformed one is a syntax error before it is
                // one too many.
                if (!skip_value())
                    return false;
                return fail("invalid length: more than " + std::to_string(m_fields.size()) +
                            " elements, expected " + std::string(m_record_name));
            }
            m_seen[next] = true;
            if (!read_member(static_cast<long>(next++)))
                return false;
            switch (after_member(']')) {
                case After::Another:
                    continue;
                case After::Closed:
                    return finish_array(next);
                case After::Failed:
                    return false;
            }
        }
    }

    bool finish_array(size_t count) {
        for (size_t i = count; i < m_fields.size(); ++i)
            if (m_fields[i].required)
                return fail("invalid length " + std::to_string(count) + ", expected " +
                            std::string(m_record_name) + " with " +
                            std::to_string(m_fields.size()) + " elements");
        return true;
    }

    // One member's value: kept when it is a string of a listed field, skipped when the field
    // is unknown, refused otherwise.
    bool read_member(long target) {
        skip_space();
        if (at_end())
            return eof();
        if (target == k_skip)
            return skip_value();
        const RecordField& field = m_fields[static_cast<size_t>(target)];
        const char c = m_in[m_pos];
        if (c == '{' || c == '[') {
            const Kind kind = c == '{' ? Kind::Map : Kind::Sequence;
            return fail("invalid type: " + std::string(kind_name(kind)) +
                        ", expected a string for " + backticked(field.name));
        }
        SecretBytes value;
        Kind kind;
        if (!read_scalar(kind, &value))
            return false;
        if (kind == Kind::String) {
            m_record[static_cast<size_t>(target)] = std::move(value);
            return true;
        }
        if (kind == Kind::Null && field.nullable)
            return true;
        return fail("invalid type: " + std::string(kind_name(kind)) + ", expected a string for " +
                    backticked(field.name));
    }

    // Any value, checked and dropped. Nesting is followed with a stack of open brackets, not
    // by recursion, so no depth of unknown members can exhaust the call stack.
    bool skip_value() {
        std::vector<char> open;
        for (;;) {
            // A value starts here.
            skip_space();
            if (at_end())
                return eof();
            const char c = m_in[m_pos];
            if (c == '{' || c == '[') {
                ++m_pos;
                skip_space();
                if (!at_end() && m_in[m_pos] == (c == '{' ? '}' : ']')) {
                    ++m_pos;  // empty: a whole value
                } else {
                    open.push_back(c);
                    if (c == '{' && !skip_key())
                        return false;
                    continue;
                }
            } else {
                Kind kind;
                if (!read_scalar(kind, nullptr))
                    return false;
            }
            // After a value: a comma, or the end of the containers it closes.
            for (;;) {
                if (open.empty())
                    return true;
                skip_space();
                if (at_end())
                    return eof();
                const char d = m_in[m_pos];
                if (d == ',') {
                    ++m_pos;
                    if (open.back() == '{' && !skip_key())
                        return false;
                    break;
                }
                if (d == (open.back() == '{' ? '}' : ']')) {
                    ++m_pos;
                    open.pop_back();
                    continue;
                }
                return syntax(m_pos);
            }
        }
    }

    // A member name and its colon inside a skipped object.
    bool skip_key() {
        skip_space();
        if (at_end() || m_in[m_pos] != '"')
            return unexpected();
        if (!read_string(nullptr))
            return false;
        return expect(':');
    }

    bool read_scalar(Kind& kind, SecretBytes* string_out) {
        const char c = m_in[m_pos];
        if (c == '"') {
            kind = Kind::String;
            return read_string(string_out);
        }
        if (c == 't') {
            kind = Kind::Boolean;
            return read_literal("true");
        }
        if (c == 'f') {
            kind = Kind::Boolean;
            return read_literal("false");
        }
        if (c == 'n') {
            kind = Kind::Null;
            return read_literal("null");
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return read_number(kind);
        return syntax(m_pos);
    }

    bool read_literal(std::string_view word) {
        for (size_t i = 0; i < word.size(); ++i) {
            if (m_pos + i >= m_in.size())
                return eof();
            if (m_in[m_pos + i] != word[i])
                return syntax(m_pos + i);
        }
        m_pos += word.size();
        return true;
    }

    bool digits() {
        if (at_end())
            return eof();
        if (m_in[m_pos] < '0' || m_in[m_pos] > '9')
            return syntax(m_pos);
        while (!at_end() && m_in[m_pos] >= '0' && m_in[m_pos] <= '9') ++m_pos;
        return true;
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?; an integer too large for 64 bits counts
    // as floating point, as JSON libraries read it.
    bool read_number(Kind& kind) {
        const size_t start = m_pos;
        const bool negative = m_in[m_pos] == '-';
        if (negative)
            ++m_pos;
        if (at_end())
            return eof();
        if (m_in[m_pos] == '0')
            ++m_pos;
        else if (!digits())
            return false;
        const size_t integer_end = m_pos;
        kind = Kind::Integer;
        if (!at_end() && m_in[m_pos] == '.') {
            ++m_pos;
            if (!digits())
                return false;
            kind = Kind::Float;
        }
        if (!at_end() && (m_in[m_pos] == 'e' || m_in[m_pos] == 'E')) {
            ++m_pos;
            if (!at_end() && (m_in[m_pos] == '+' || m_in[m_pos] == '-'))
                ++m_pos;
            if (!digits())
                return false;
            kind = Kind::Float;
        }
        if (kind == Kind::Integer) {
            const uint64_t limit = negative ? uint64_t{1} << 63 : UINT64_MAX;
            uint64_t v = 0;
            for (size_t i = start + (negative ? 1 : 0); i < integer_end; ++i) {
                const auto d = static_cast<uint64_t>(m_in[i] - '0');
                if (v > (limit - d) / 10) {
                    kind = Kind::Float;
                    break;
                }
                v = v * 10 + d;
            }
        }
        return true;
    }

    // A string token at the opening quote, decoded into out (when given). The raw text must be
    // UTF-8 without unescaped controls; \u escapes must pair their surrogates.
    bool read_string(SecretBytes* out) {
        ++m_pos;
        // Find the closing quote first: the decoded text is never longer than the raw one, so
        // one allocation holds it.
        size_t end = m_pos;
        while (end < m_in.size() && m_in[end] != '"') end += m_in[end] == '\\' ? 2 : 1;
        if (end >= m_in.size())
            return eof();
        if (auto fault = utf8_check(m_in.substr(m_pos, end - m_pos)))
            return syntax(m_pos + fault->valid_up_to);
        if (out)
            out->reserve(end - m_pos);
        while (m_pos < end) {
            const auto c = static_cast<unsigned char>(m_in[m_pos]);
            if (c < 0x20)
                return syntax(m_pos);
            if (c != '\\') {
                if (out)
                    out->push_back(c);
                ++m_pos;
                continue;
            }
            const char e = m_in[m_pos + 1];
            char simple = 0;
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    simple = e;
                    break;
                case 'b':
                    simple = '\b';
                    break;
                case 'f':
                    simple = '\f';
                    break;
                case 'n':
                    simple = '\n';
                    break;
                case 'r':
                    simple = '\r';
                    break;
                case 't':
                    simple = '\t';
                    break;
                case 'u':
                    break;
                default:
                    return syntax(m_pos + 1);
            }
            if (simple) {
                if (out)
                    out->push_back(static_cast<uint8_t>(simple));
                m_pos += 2;
                continue;
            }
            uint32_t cp = 0;
            if (!read_u_escape(end, cp))
                return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF)
                return syntax(m_pos - 6);  // a low surrogate alone
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                uint32_t low = 0;
                if (m_pos + 1 >= end || m_in[m_pos] != '\\' || m_in[m_pos + 1] != 'u')
                    return syntax(m_pos);
                if (!read_u_escape(end, low))
                    return false;
                if (low < 0xDC00 || low > 0xDFFF)
                    return syntax(m_pos - 6);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            if (out)
                append_utf8(*out, cp);
        }
        m_pos = end + 1;
        return true;
    }

    // "\uXXXX" at m_pos (before end): its value, m_pos past it.
    bool read_u_escape(size_t end, uint32_t& cp) {
        m_pos += 2;
        cp = 0;
        for (int i = 0; i < 4; ++i, ++m_pos) {
            if (m_pos >= end)
                return syntax(end);
            int d = hex_digit(m_in[m_pos]);
            if (d < 0)
                return syntax(m_pos);
            cp = cp << 4 | static_cast<uint32_t>(d);
        }
        return true;
    }

    std::string field_list() const {
        std::string out;
        for (size_t i = 0; i < m_fields.size(); ++i) {
            if (i)
                out += ", ";
            out += backticked(m_fields[i].name);
        }
        return out;
    }

    static constexpr long k_skip = -1;

    std::string_view m_in;
    size_t m_pos = 0;
    std::string_view m_record_name;
    std::span<const RecordField> m_fields;
    UnknownKeys m_unknown;
    StringRecord m_record;
    std::vector<bool> m_seen;
    std::string m_error;
};

}  // namespace

BasicResult<StringRecord, std::string> parse_string_record(std::string_view input,
                                                           std::string_view record_name,
                                                           std::span<const RecordField> fields,
                                                           UnknownKeys unknown) {
    RecordReader reader(input, record_name, fields, unknown);
    if (!reader.parse()) {
        std::string message = reader.error();
        if (message.empty())
            message = "invalid JSON";
        return message;
    }
    return reader.take_record();
}

}  // namespace tessarin
