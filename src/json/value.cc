#include "src/json/value.h"

namespace tessarin {

using nlohmann::json;

bool JsonValueBuilder::key(std::string_view name) {
    m_key.assign(name);
    return true;
}

bool JsonValueBuilder::string(SecretBytes& value) {
    return add(json(std::string(value.expose_text())));
}

bool JsonValueBuilder::number(const JsonNumber& value) {
    switch (value.type) {
        case JsonNumber::Type::Signed:
            return add(json(value.signed_value));
        case JsonNumber::Type::Unsigned:
            return add(json(value.unsigned_value));
        case JsonNumber::Type::Float:
            break;
    }
    return add(json(value.float_value));
}

json* JsonValueBuilder::place(json value) {
    if (m_open.empty()) {
        m_started = true;
        m_root = std::move(value);
        return &m_root;
    }
    json& parent = *m_open.back();
    if (parent.is_array()) {
        auto& elements = parent.get_ref<json::array_t&>();
        elements.push_back(std::move(value));
        return &elements.back();
    }
    // The reader refuses a repeated key before its value arrives.
    auto& members = parent.get_ref<json::object_t&>();
    return &members.insert_or_assign(std::move(m_key), std::move(value)).first->second;
}

BasicResult<json, std::string> parse_json_value(std::string_view text, size_t max_depth) {
    JsonValueBuilder builder;
    TRY(read_json(text, max_depth, builder));
    return builder.take();
}

}  // namespace tessarin
