#include "src/json/record.h"

#include <algorithm>
#include <cstdint>

#include "src/json/value.h"

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

std::string backticked(std::string_view name) {
    std::string out = "`";
    out.append(name);
    out.push_back('`');
    return out;
}

std::string_view kind_name(JsonKind kind) {
    switch (kind) {
        case JsonKind::Null:
            return "null";
        case JsonKind::Boolean:
            return "boolean";
        case JsonKind::Integer:
            return "integer";
        case JsonKind::Float:
            return "number with a fraction";
        case JsonKind::String:
            return "string";
        case JsonKind::Object:
            return "object";
        case JsonKind::Array:
            break;
    }
    return "array";
}

// The record's rules, applied as the reader hands the document over: the top-level object's
// members by name, or the top-level array's elements in field order; string values of the
// listed fields kept, anything nested inside other members passed over.
class RecordHandler : public JsonHandler {
  public:
    RecordHandler(std::string_view record_name, std::span<const RecordField> fields,
                  UnknownKeys unknown)
        : m_record_name(record_name),
          m_fields(fields),
          m_unknown(unknown),
          m_record(fields.size()),
          m_seen(fields.size(), false) {}

    bool begin_object() override { return open(JsonKind::Object); }
    bool begin_array() override { return open(JsonKind::Array); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool key(std::string_view name) override {
        if (m_depth != 1)
            return true;
        m_target = k_skip;
        for (size_t i = 0; i < m_fields.size(); ++i) {
            if (m_fields[i].name == name) {
                if (m_seen[i])
                    return refuse("duplicate field " + backticked(m_fields[i].name));
                m_seen[i] = true;
                m_target = static_cast<long>(i);
            }
        }
        if (m_target == k_skip && m_unknown == UnknownKeys::Refuse)
            return refuse("unknown field " + backticked(name) + ", expected one of " +
                          field_list());
        return true;
    }

    bool string(SecretBytes& value) override { return scalar(JsonKind::String, &value); }
    bool number(const JsonNumber& value) override { return scalar(value.kind(), nullptr); }
    bool boolean(bool) override { return scalar(JsonKind::Boolean, nullptr); }
    bool null() override { return scalar(JsonKind::Null, nullptr); }

    StringRecord take_record() { return std::move(m_record); }

  private:
    bool open(JsonKind kind) {
        ++m_depth;
        if (m_depth == 1) {
            m_array_form = kind == JsonKind::Array;
            return true;
        }
        if (m_depth == 2)
            return member(kind, nullptr);
        return true;
    }

    bool close() {
        --m_depth;
        if (m_depth == 0)
            return m_array_form ? finish_array() : finish_object();
        if (m_depth == 1 && m_too_long)
            return too_long();
        return true;
    }

    bool scalar(JsonKind kind, SecretBytes* value) {
        if (m_depth == 0)
            return refuse("invalid type: " + std::string(kind_name(kind)) + ", expected " +
                          std::string(m_record_name));
        if (m_depth == 1)
            return member(kind, value);
        return true;
    }

    // One member's value (a container as it opens): kept when it is a string of a listed
    // field, passed over when the field is unknown, refused otherwise.
    bool member(JsonKind kind, SecretBytes* value) {
        if (m_array_form) {
            if (m_next >= m_fields.size()) {
                // A container is read whole first: a malformed one is a syntax error before
                // it is one too many.
                if (kind == JsonKind::Object || kind == JsonKind::Array) {
                    m_too_long = true;
                    return true;
                }
                return too_long();
            }
            m_seen[m_next] = true;
            m_target = static_cast<long>(m_next++);
        }
        if (m_target == k_skip)
            return true;
        const RecordField& field = m_fields[static_cast<size_t>(m_target)];
        if (kind == JsonKind::String) {
            m_record[static_cast<size_t>(m_target)] = std::move(*value);
            return true;
        }
        if (kind == JsonKind::Null && field.nullable)
            return true;
        return refuse("invalid type: " + std::string(kind_name(kind)) + ", expected a string for " +
                      backticked(field.name));
    }

    bool too_long() {
        return refuse("invalid length: more than " + std::to_string(m_fields.size()) +
                      " elements, expected " + std::string(m_record_name));
    }

    bool finish_object() {
        for (size_t i = 0; i < m_fields.size(); ++i)
            if (m_fields[i].required && !m_seen[i])
                return refuse("missing field " + backticked(m_fields[i].name));
        return true;
    }

    // Missing values at the end of the array form take their defaults when they may.
    bool finish_array() {
        for (size_t i = m_next; i < m_fields.size(); ++i)
            if (m_fields[i].required)
                return refuse("invalid length " + std::to_string(m_next) + ", expected " +
                              std::string(m_record_name) + " with " +
                              std::to_string(m_fields.size()) + " elements");
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

    std::string_view m_record_name;
    std::span<const RecordField> m_fields;
    UnknownKeys m_unknown;
    StringRecord m_record;
    std::vector<bool> m_seen;
    size_t m_depth = 0;  // containers open around the next event
    bool m_array_form = false;
    long m_target = k_skip;  // the field the next member's value is for
    size_t m_next = 0;       // the array form's next field
    bool m_too_long = false;
};

// The top-level object's members as they arrive: strings into wiping buffers, kept values
// built whole, everything else noted by its kind.
class MembersHandler : public JsonHandler {
  public:
    explicit MembersHandler(std::span<const std::string_view> keep) : m_keep(keep) {}

    bool begin_object() override { return open(JsonKind::Object, &JsonHandler::begin_object); }
    bool begin_array() override { return open(JsonKind::Array, &JsonHandler::begin_array); }
    bool end_object() override { return close(&JsonHandler::end_object); }
    bool end_array() override { return close(&JsonHandler::end_array); }

    bool key(std::string_view name) override {
        if (m_depth == 1 && m_members.is_object) {
            m_members.members.emplace_back();
            m_members.members.back().key = name;
            return true;
        }
        return !m_building || m_builder.key(name);
    }

    bool string(SecretBytes& value) override {
        if (!member(JsonKind::String))
            return m_building ? m_builder.string(value) : true;
        m_members.members.back().text = std::move(value);
        return true;
    }
    bool number(const JsonNumber& value) override {
        return member(value.kind()) || !m_building || m_builder.number(value);
    }
    bool boolean(bool value) override {
        return member(JsonKind::Boolean) || !m_building || m_builder.boolean(value);
    }
    bool null() override { return member(JsonKind::Null) || !m_building || m_builder.null(); }

    JsonMembers take() { return std::move(m_members); }

  private:
    using Event = bool (JsonHandler::*)();

    // A value of the top-level object: its kind noted (true), or a value elsewhere (false).
    bool member(JsonKind kind) {
        if (m_depth != 1 || !m_members.is_object)
            return false;
        m_members.members.back().kind = kind;
        return true;
    }

    bool open(JsonKind kind, Event event) {
        if (m_depth == 0)
            m_members.is_object = kind == JsonKind::Object;
        if (member(kind)) {
            const std::string& key = m_members.members.back().key;
            m_building = std::find(m_keep.begin(), m_keep.end(), key) != m_keep.end();
            if (m_building)
                m_builder = JsonValueBuilder();
        }
        ++m_depth;
        return m_depth == 1 || !m_building || (m_builder.*event)();
    }

    bool close(Event event) {
        --m_depth;
        if (!m_building)
            return true;
        (m_builder.*event)();
        if (m_depth == 1) {
            m_members.members.back().value = m_builder.take();
            m_building = false;
        }
        return true;
    }

    std::span<const std::string_view> m_keep;
    JsonMembers m_members;
    size_t m_depth = 0;
    bool m_building = false;  // inside a kept value
    JsonValueBuilder m_builder;
};

}  // namespace

JsonMember* JsonMembers::find(std::string_view key) {
    for (JsonMember& m : members)
        if (m.key == key)
            return &m;
    return nullptr;
}

BasicResult<JsonMembers, std::string> parse_members(std::string_view json, size_t max_depth,
                                                    std::span<const std::string_view> keep) {
    MembersHandler handler(keep);
    TRY(read_json(json, max_depth, handler));
    return handler.take();
}

BasicResult<StringRecord, std::string> parse_string_record(std::string_view input,
                                                           std::string_view record_name,
                                                           std::span<const RecordField> fields,
                                                           UnknownKeys unknown) {
    RecordHandler handler(record_name, fields, unknown);
    TRY(read_json(input, k_any_depth, handler));
    return handler.take_record();
}

}  // namespace tessarin
