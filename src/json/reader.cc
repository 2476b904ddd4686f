#include "src/json/reader.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <set>
#include <vector>

#include "crypto/core/utf8.h"
#include "src/base/text.h"

namespace tessarin {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The character a two-character escape stands for ("\\n" for a line feed), or 0.
char simple_escape(char e) {
    switch (e) {
        case '"':
        case '\\':
        case '/':
            return e;
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return 0;
    }
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

// One pass over the text. Nesting is followed with a stack of open brackets, never by
// recursion, so no depth can exhaust the call stack; each byte is looked at a bounded number
// of times, so the time is linear in the length (the keys of each open object are kept in a
// search tree to see a repeated one).
class Reader {
  public:
    Reader(std::string_view input, size_t max_depth, JsonHandler& handler)
        : m_in(input), m_max_depth(max_depth), m_handler(handler) {}

    bool read() {
        for (;;) {
            // A value starts here.
            skip_space();
            if (at_end())
                return eof();
            const char c = m_in[m_pos];
            if (c == '{' || c == '[') {
                const Step opened = open_container(c);
                if (opened == Step::failed)
                    return false;
                if (opened == Step::next_value)
                    continue;  // its first member or element
            } else if (!read_scalar()) {
                return false;
            }
            const Step next = after_value();
            if (next != Step::next_value)
                return next == Step::document_ended;
        }
    }

    const std::string& error() const { return m_error; }

  private:
    // Where reading goes on after a step.
    enum class Step : unsigned char {
        failed,          // the error is set
        next_value,      // a value starts at the next non-blank byte
        value_ended,     // a whole value was read (an empty container counts)
        document_ended,  // the outermost value closed and only blanks follow
    };

    // The bracket at m_pos opens an object or array: an empty one is a whole value; otherwise
    // its first value (after the first key, for an object) comes next.
    Step open_container(char c) {
        if (m_open.size() >= m_max_depth) {
            fail("nesting deeper than " + std::to_string(m_max_depth) + " levels at " +
                 text_position(m_in, m_pos));
            return Step::failed;
        }
        ++m_pos;
        m_open.push_back(c);
        if (c == '{')
            m_keys.emplace_back();
        if (!call(c == '{' ? m_handler.begin_object() : m_handler.begin_array()))
            return Step::failed;
        skip_space();
        if (!at_end() && m_in[m_pos] == closing(c)) {
            ++m_pos;
            return close() ? Step::value_ended : Step::failed;
        }
        if (c == '{' && !read_key())
            return Step::failed;
        return Step::next_value;
    }

    // After a value: the end of the document, a comma (and the next key in an object), or
    // the end of the containers it closes.
    Step after_value() {
        for (;;) {
            skip_space();
            if (m_open.empty()) {
                if (at_end())
                    return Step::document_ended;
                fail("trailing characters at " + text_position(m_in, m_pos));
                return Step::failed;
            }
            if (at_end()) {
                eof();
                return Step::failed;
            }
            const char d = m_in[m_pos];
            if (d == ',') {
                ++m_pos;
                if (m_open.back() == '{' && !read_key())
                    return Step::failed;
                return Step::next_value;
            }
            if (d != closing(m_open.back())) {
                syntax(m_pos);
                return Step::failed;
            }
            ++m_pos;
            if (!close())
                return Step::failed;
        }
    }

    static char closing(char open) { return open == '{' ? '}' : ']'; }

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
    bool eof() { return fail("EOF while parsing a value at " + text_position(m_in, m_in.size())); }
    bool syntax(size_t at) { return fail("syntax error at " + text_position(m_in, at)); }
    // The character at the current position is not what the grammar allows there.
    bool unexpected() { return at_end() ? eof() : syntax(m_pos); }
    bool call(bool handler_went_on) {
        if (handler_went_on)
            return true;
        return fail(m_handler.refusal().empty() ? std::string("refused") : m_handler.refusal());
    }

    bool close() {
        const bool object = m_open.back() == '{';
        m_open.pop_back();
        if (object) {
            m_keys.pop_back();
            return call(m_handler.end_object());
        }
        return call(m_handler.end_array());
    }

    // A member name and its colon.
    bool read_key() {
        skip_space();
        if (at_end() || m_in[m_pos] != '"')
            return unexpected();
        const size_t start = m_pos;
        m_key.truncate(0);
        if (!read_string(&m_key))
            return false;
        const std::string_view name = m_key.expose_text();
        if (!call(m_handler.key(name)))
            return false;
        if (!m_keys.back().emplace(name).second)
            return fail("duplicate key at " + text_position(m_in, start));
        skip_space();
        if (at_end() || m_in[m_pos] != ':')
            return unexpected();
        ++m_pos;
        return true;
    }

    bool read_scalar() {
        const char c = m_in[m_pos];
        if (c == '"') {
            m_value.truncate(0);
            if (!read_string(&m_value))
                return false;
            const bool went_on = m_handler.string(m_value);
            m_value.truncate(0);
            return call(went_on);
        }
        if (c == 't')
            return read_literal("true") && call(m_handler.boolean(true));
        if (c == 'f')
            return read_literal("false") && call(m_handler.boolean(false));
        if (c == 'n')
            return read_literal("null") && call(m_handler.null());
        if (c == '-' || (c >= '0' && c <= '9')) {
            JsonNumber number;
            return read_number(number) && call(m_handler.number(number));
        }
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

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
    bool read_number(JsonNumber& number) {
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
        bool integer = true;
        if (!at_end() && m_in[m_pos] == '.') {
            ++m_pos;
            if (!digits())
                return false;
            integer = false;
        }
        if (!at_end() && (m_in[m_pos] == 'e' || m_in[m_pos] == 'E')) {
            ++m_pos;
            if (!at_end() && (m_in[m_pos] == '+' || m_in[m_pos] == '-'))
                ++m_pos;
            if (!digits())
                return false;
            integer = false;
        }
        if (integer && integer_value(start, integer_end, negative, number))
            return true;
        // A fraction, an exponent or an integer too large for 64 bits: a double, as JSON
        // libraries read it. The process never changes its locale, so strtod reads the
        // decimal point of the text.
        const std::string token(m_in.substr(start, m_pos - start));
        number.type = JsonNumber::Type::Float;
        number.float_value = std::strtod(token.c_str(), nullptr);
        if (!std::isfinite(number.float_value))
            return fail("number out of range at " + text_position(m_in, start));
        return true;
    }

    // The integer in [start, end) when it fits 64 bits (its magnitude at most 2^63 when
    // negative).
    bool integer_value(size_t start, size_t end, bool negative, JsonNumber& number) const {
        const char* first = m_in.data() + start;
        const char* last = m_in.data() + end;
        if (negative) {
            int64_t v = 0;
            if (std::from_chars(first, last, v).ec != std::errc())
                return false;
            number.type = JsonNumber::Type::Signed;
            number.signed_value = v;
        } else {
            uint64_t v = 0;
            if (std::from_chars(first, last, v).ec != std::errc())
                return false;
            number.type = JsonNumber::Type::Unsigned;
            number.unsigned_value = v;
        }
        return true;
    }

    // A string token at the opening quote, decoded into out. The raw text must be UTF-8
    // without unescaped controls; \u escapes must pair their surrogates.
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
        out->reserve(end - m_pos);
        while (m_pos < end) {
            const auto c = static_cast<unsigned char>(m_in[m_pos]);
            if (c < 0x20)
                return syntax(m_pos);
            if (c != '\\') {
                // A run of plain bytes at once.
                size_t run = m_pos + 1;
                while (run < end && m_in[run] != '\\' &&
                       static_cast<unsigned char>(m_in[run]) >= 0x20)
                    ++run;
                out->append_text(m_in.substr(m_pos, run - m_pos));
                m_pos = run;
                continue;
            }
            if (!read_escape(end, *out))
                return false;
        }
        m_pos = end + 1;
        return true;
    }

    // The escape at m_pos (a backslash, before end), decoded into out; m_pos past it.
    bool read_escape(size_t end, SecretBytes& out) {
        const char e = m_in[m_pos + 1];
        if (e != 'u') {
            const char decoded = simple_escape(e);
            if (!decoded)
                return syntax(m_pos + 1);
            out.push_back(static_cast<uint8_t>(decoded));
            m_pos += 2;
            return true;
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
        append_utf8(out, cp);
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

    std::string_view m_in;
    size_t m_pos = 0;
    size_t m_max_depth;
    JsonHandler& m_handler;
    std::vector<char> m_open;  // '{' or '[' of each open container, innermost last
    // The keys of each open object, innermost last. Names, not values: plain strings.
    std::vector<std::set<std::string, std::less<>>> m_keys;
    SecretBytes m_key;    // the key being read
    SecretBytes m_value;  // the string value being read
    std::string m_error;
};

}  // namespace

BasicResult<void, std::string> read_json(std::string_view text, size_t max_depth,
                                         JsonHandler& handler) {
    Reader reader(text, max_depth, handler);
    if (!reader.read())
        return reader.error().empty() ? std::string("invalid JSON") : reader.error();
    return {};
}

}  // namespace tessarin
