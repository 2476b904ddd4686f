#include "crypto/core/json_text.h"

#include <openssl/crypto.h>

#include <utility>

#include "crypto/core/utf8.h"

namespace tessarin {

namespace {

using json = nlohmann::json;

// Writes value compactly, as value.dump() does: objects in their (ascending) key order, no white
// space, strings through append_json_string. Numbers are not secret: a floating-point one is
// written by the library itself, so its shortest round-trip form stays the library's.
bool dump_value(SecretBytes& out, const json& value) {
    switch (value.type()) {
        case json::value_t::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, member] : value.items()) {
                if (!std::exchange(first, false))
                    out.push_back(',');
                if (!append_json_string(out, key))
                    return false;
                out.push_back(':');
                if (!dump_value(out, member))
                    return false;
            }
            out.push_back('}');
            return true;
        }
        case json::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const json& element : value) {
                if (!std::exchange(first, false))
                    out.push_back(',');
                if (!dump_value(out, element))
                    return false;
            }
            out.push_back(']');
            return true;
        }
        case json::value_t::string:
            return append_json_string(out, value.get_ref<const std::string&>());
        case json::value_t::null:
        case json::value_t::boolean:
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
            out.append_text(value.dump());
            return true;
        case json::value_t::binary:
        case json::value_t::discarded:
            break;
    }
    return false;
}

}  // namespace

bool append_json_string(SecretBytes& out, std::string_view text) {
    if (!is_utf8(text))
        return false;
    // The two-character escapes, by the character they stand for.
    static constexpr std::string_view k_short[] = {
        {"\"\\\""}, {"\\\\\\"}, {"\b\\b"}, {"\t\\t"}, {"\n\\n"}, {"\f\\f"}, {"\r\\r"},
    };
    static constexpr char k_hex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const std::string_view* escape = nullptr;
        for (const std::string_view& e : k_short)
            if (e[0] == ch)
                escape = &e;
        if (escape) {
            out.append_text(escape->substr(1));
        } else if (c < 0x20) {
            const char escaped[] = {'\\', 'u', '0', '0', k_hex[c >> 4], k_hex[c & 15]};
            out.append_text({escaped, sizeof escaped});
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return true;
}

namespace {

// Wipes every string value in value, at any depth (object keys are names, never secrets).
void wipe_strings(json& value) {
    switch (value.type()) {
        case json::value_t::string: {
            auto& text = value.get_ref<json::string_t&>();
            OPENSSL_cleanse(text.data(), text.size());
            return;
        }
        case json::value_t::object:
        case json::value_t::array:
            for (json& member : value) wipe_strings(member);
            return;
        default:
            return;
    }
}

}  // namespace

SecretJson::~SecretJson() {
    wipe_strings(m_value);
}

BasicResult<SecretBytes, std::string> dump_json_secret(const json& value) {
    SecretBytes out;
    if (!dump_value(out, value))
        return std::string("a string in the value is not valid UTF-8");
    return out;
}

}  // namespace tessarin
