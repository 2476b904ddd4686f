#include "src/json_record.h"

#include <openssl/crypto.h>

#include <nlohmann/json.hpp>

namespace tessarin {

StringRecord::~StringRecord() {
    for (auto& value : m_values)
        if (value && !value->empty())
            OPENSSL_cleanse(value->data(), value->size());
}

std::string StringRecord::take(size_t i) {
    if (!m_values[i])
        return {};
    return std::move(*m_values[i]);
}

namespace {

using json = nlohmann::json;

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
    return "`" + std::string(name) + "`";
}

class RecordReader {
  public:
    RecordReader(std::string_view input, std::string_view record_name,
                 std::span<const RecordField> fields, UnknownKeys unknown)
        : m_input(input),
          m_record_name(record_name),
          m_fields(fields),
          m_unknown(unknown),
          m_record(fields.size()),
          m_seen(fields.size(), false) {}

    // Scalars.
    bool null() { return scalar("null", nullptr); }
    bool boolean(bool) { return scalar("boolean", nullptr); }
    bool number_integer(json::number_integer_t) { return scalar("integer", nullptr); }
    bool number_unsigned(json::number_unsigned_t) { return scalar("integer", nullptr); }
    bool number_float(json::number_float_t, const json::string_t&) {
        return scalar("floating point", nullptr);
    }
    bool string(json::string_t& value) { return scalar("string", &value); }
    bool binary(json::binary_t&) { return scalar("binary", nullptr); }

    bool start_object(std::size_t) {
        if (m_depth == 0) {
            m_depth = 1;
            m_in_array = false;
            return true;
        }
        return start_nested("map");
    }
    bool key(json::string_t& name) {
        if (m_depth != 1)
            return true;  // inside a value being skipped
        for (size_t i = 0; i < m_fields.size(); ++i) {
            if (m_fields[i].name == name) {
                if (m_seen[i])
                    return fail("duplicate field " + backticked(name));
                m_seen[i] = true;
                m_target = static_cast<long>(i);
                return true;
            }
        }
        if (m_unknown == UnknownKeys::Refuse)
            return fail("unknown field " + backticked(name) + ", expected one of " + field_list());
        m_target = k_skip;
        return true;
    }
    bool end_object() { return end_nested(); }
    bool start_array(std::size_t) {
        if (m_depth == 0) {
            m_depth = 1;
            m_in_array = true;
            return true;
        }
        return start_nested("sequence");
    }
    bool end_array() {
        if (m_depth == 1 && m_in_array) {
            // Fields past the end of a short array take their defaults if they may.
            for (size_t i = m_next_index; i < m_fields.size(); ++i) {
                if (m_fields[i].required)
                    return fail("invalid length " + std::to_string(m_next_index) + ", expected " +
                                std::string(m_record_name) + " with " +
                                std::to_string(m_fields.size()) + " elements");
            }
        }
        return end_nested();
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) {
        if (!m_error.empty())
            return false;
        // nlohmann's own message quotes the text it read last; the input may be key
        // material, so only the position is reported.
        size_t offset = position > 0 ? position - 1 : 0;
        if (m_done)
            m_error = "trailing characters at " + where(m_input, offset);
        else if (position >= m_input.size())
            m_error = "EOF while parsing a value at " + where(m_input, m_input.size());
        else
            m_error = "syntax error at " + where(m_input, offset);
        return false;
    }

    // After a successful parse: required keys of the object form.
    bool finish() {
        if (m_in_array)
            return true;
        for (size_t i = 0; i < m_fields.size(); ++i)
            if (m_fields[i].required && !m_seen[i])
                return fail("missing field " + backticked(m_fields[i].name));
        return true;
    }

    const std::string& error() const { return m_error; }
    StringRecord take_record() { return std::move(m_record); }

  private:
    static constexpr long k_skip = -2;
    static constexpr long k_none = -1;

    bool fail(std::string message) {
        if (m_error.empty())
            m_error = std::move(message);
        return false;
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

    // Which field the value now arriving at depth 1 belongs to.
    long current_target() {
        if (!m_in_array) {
            long t = m_target;
            m_target = k_none;
            return t;
        }
        if (m_next_index >= m_fields.size())
            return k_none;
        m_seen[m_next_index] = true;
        return static_cast<long>(m_next_index++);
    }

    bool scalar(std::string_view type, json::string_t* value) {
        if (m_depth == 0)
            return fail("invalid type: " + std::string(type) + ", expected " +
                        std::string(m_record_name));
        if (m_depth > 1)
            return true;
        if (m_in_array && m_next_index >= m_fields.size())
            return fail(too_long());
        long target = current_target();
        if (target == k_skip)
            return true;
        if (target < 0)
            return fail("internal parser state");
        const RecordField& field = m_fields[static_cast<size_t>(target)];
        if (value) {
            m_record[static_cast<size_t>(target)] = std::move(*value);
            return true;
        }
        if (type == "null" && field.nullable)
            return true;
        return fail("invalid type: " + std::string(type) + ", expected a string for " +
                    backticked(field.name));
    }

    bool start_nested(std::string_view type) {
        if (m_depth == 1) {
            if (m_in_array && m_next_index >= m_fields.size())
                return fail(too_long());
            long target = current_target();
            if (target != k_skip) {
                if (target < 0)
                    return fail("internal parser state");
                return fail("invalid type: " + std::string(type) + ", expected a string for " +
                            backticked(m_fields[static_cast<size_t>(target)].name));
            }
        }
        ++m_depth;
        return true;
    }

    bool end_nested() {
        if (--m_depth == 0)
            m_done = true;
        return true;
    }

    std::string too_long() const {
        return "invalid length: more than " + std::to_string(m_fields.size()) +
               " elements, expected " + std::string(m_record_name);
    }

    std::string_view m_input;
    std::string_view m_record_name;
    std::span<const RecordField> m_fields;
    UnknownKeys m_unknown;
    StringRecord m_record;
    std::vector<bool> m_seen;
    std::string m_error;
    size_t m_depth = 0;
    bool m_in_array = false;
    bool m_done = false;
    long m_target = k_none;
    size_t m_next_index = 0;
};

}  // namespace

BasicResult<StringRecord, std::string> parse_string_record(std::string_view input,
                                                           std::string_view record_name,
                                                           std::span<const RecordField> fields,
                                                           UnknownKeys unknown) {
    RecordReader reader(input, record_name, fields, unknown);
    bool ok = false;
    try {
        ok = json::sax_parse(input.begin(), input.end(), &reader, json::input_format_t::json,
                             /*strict=*/true);
    } catch (const json::exception&) {
        ok = false;
    }
    if (ok)
        ok = reader.finish();
    // nlohmann's lexer takes a NUL byte for the end of its input: a record that parsed whole
    // may have a NUL after it and anything at all after that.
    if (const size_t nul = input.find('\0'); ok && nul != std::string_view::npos)
        return "trailing characters at " + where(input, nul);
    if (!ok) {
        std::string message = reader.error();
        if (message.empty())
            message = "invalid JSON";
        return message;
    }
    return reader.take_record();
}

}  // namespace tessarin
