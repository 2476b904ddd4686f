#include "src/gate/reply.h"

#include <set>
#include <vector>

namespace tessarin {

using nlohmann::json;

namespace {

// Why parsing stopped early; thrown by the parser's callback and caught below it.
struct Refused {};

// Parses JSON text, refusing an object that names a key twice anywhere in the document
// (nlohmann keeps only one of them, and two readers of the same reply must never disagree)
// and containers nested more than k_max_reply_nesting deep. The limit is checked as each
// container opens, so a hostile reply of a few hundred kilobytes of "[" costs nothing, and
// every later walk of the value (moving it, printing it with --json) stays shallow.
std::optional<json> parse_reply_json(std::string_view text) {
    std::vector<std::set<std::string>> open_objects;
    auto watch = [&](int depth, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
            case json::parse_event_t::array_start:
                // depth counts the containers around this one.
                if (static_cast<size_t>(depth) >= k_max_reply_nesting)
                    throw Refused{};
                if (event == json::parse_event_t::object_start)
                    open_objects.emplace_back();
                break;
            case json::parse_event_t::object_end:
                if (!open_objects.empty())
                    open_objects.pop_back();
                break;
            case json::parse_event_t::key:
                if (!open_objects.empty() &&
                    !open_objects.back().insert(parsed.get<std::string>()).second)
                    throw Refused{};
                break;
            default:
                break;
        }
        return true;
    };
    // nlohmann's lexer takes a NUL byte for the end of its input, so a document followed by a
    // NUL and anything at all would pass as complete. JSON text never holds a NUL byte: in a
    // string it must be escaped, and outside one it is not white space.
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    try {
        json value = json::parse(text.begin(), text.end(), watch, /*allow_exceptions=*/false);
        if (value.is_discarded())
            return std::nullopt;
        return value;
    } catch (const Refused&) {
        return std::nullopt;
    }
}

std::optional<ReplyError> read_reply_error(const json& v) {
    const json* code = nullptr;
    const json* message = nullptr;
    if (v.is_object()) {
        for (const auto& [key, member] : v.items()) {
            if (key == "code")
                code = &member;
            else if (key == "message")
                message = &member;
            else
                return std::nullopt;
        }
    } else if (v.is_array() && v.size() == 2) {
        code = &v[0];
        message = &v[1];
    } else {
        return std::nullopt;
    }
    if (!code || !message || !code->is_string() || !message->is_string())
        return std::nullopt;
    return ReplyError{code->get<std::string>(), message->get<std::string>()};
}

// Reads the parsed document as a Reply; the result is moved out of it, never copied.
std::optional<Reply> read_reply(json& v) {
    json* ok = nullptr;
    json* result = nullptr;
    json* error = nullptr;
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (it.key() == "ok")
                ok = &it.value();
            else if (it.key() == "result")
                result = &it.value();
            else if (it.key() == "error")
                error = &it.value();
            else
                return std::nullopt;
        }
    } else if (v.is_array() && v.size() <= 3) {
        if (v.size() > 0)
            ok = &v[0];
        if (v.size() > 1)
            result = &v[1];
        if (v.size() > 2)
            error = &v[2];
    } else {
        return std::nullopt;
    }
    if (!ok || !ok->is_boolean())
        return std::nullopt;
    Reply reply;
    reply.ok = ok->get<bool>();
    if (error && !error->is_null()) {
        auto e = read_reply_error(*error);
        if (!e)
            return std::nullopt;
        reply.error = std::move(*e);
    }
    if (result)
        reply.result = std::move(*result);
    return reply;
}

}  // namespace

CoreResult<Reply> decode_reply(ByteView payload, size_t max_payload) {
    if (payload.size() > max_payload)
        return CoreError(TS_0004);
    if (payload.empty())
        return CoreError(TS_0010);
    if (payload[0] != 0x10)
        return CoreError(TS_0004);
    std::string_view text(reinterpret_cast<const char*>(payload.data()) + 1, payload.size() - 1);
    auto value = parse_reply_json(text);
    if (!value)
        return CoreError(TS_0004);
    auto reply = read_reply(*value);
    if (!reply)
        return CoreError(TS_0004);
    return std::move(*reply);
}

}  // namespace tessarin
