#include "src/json_input.h"

#include "crypto/core/secret.h"
#include "src/text.h"

namespace tessarin {

using nlohmann::json;

BasicResult<json, std::string> parse_json_input(std::string_view text) {
    // The parser itself does not recurse; a callback notes the first value that opens too
    // deep and drops it, and the whole document is refused afterwards.
    size_t depth = 0;
    std::optional<size_t> too_deep_at;
    size_t opened = 0;
    auto watch = [&](int, json::parse_event_t event, json&) {
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                ++opened;
                if (++depth > k_max_input_depth) {
                    if (!too_deep_at)
                        too_deep_at = opened;
                    --depth;
                    return false;
                }
                return true;
            case json::parse_event_t::object_end:
            case json::parse_event_t::array_end:
                if (depth > 0)
                    --depth;
                return true;
            default:
                return true;
        }
    };
    json value;
    try {
        value = json::parse(text.begin(), text.end(), watch);
    } catch (const json::parse_error& e) {
        // nlohmann's own message quotes what it read last: only the position is reported.
        const size_t offset = e.byte > 0 ? e.byte - 1 : 0;
        const std::string_view what = e.what();
        if (e.byte > text.size() ||
            what.find("unexpected end of input") != std::string_view::npos ||
            what.find("empty input") != std::string_view::npos)
            return "EOF while parsing a value at " + text_position(text, text.size());
        if (what.find("; expected end of input") != std::string_view::npos)
            return "trailing characters at " + text_position(text, offset);
        return "syntax error at " + text_position(text, offset);
    } catch (const json::exception&) {
        return std::string("invalid document");
    }
    if (too_deep_at) {
        // Report where the opening bracket that went one level too deep stands.
        size_t count = 0, offset = 0;
        bool in_string = false, escaped = false;
        for (; offset < text.size(); ++offset) {
            const char c = text[offset];
            if (in_string) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    in_string = false;
            } else if (c == '"') {
                in_string = true;
            } else if ((c == '[' || c == '{') && ++count == *too_deep_at) {
                break;
            }
        }
        return "nesting deeper than " + std::to_string(k_max_input_depth) + " levels at " +
               text_position(text, offset);
    }
    return value;
}

JsonWipeGuard::~JsonWipeGuard() {
    wipe_json_strings(m_value);
}

void wipe_json_strings(json& value) {
    if (value.is_string()) {
        wipe_string(value.get_ref<std::string&>());
    } else if (value.is_structured()) {
        for (json& member : value) wipe_json_strings(member);
    }
}

}  // namespace tessarin
