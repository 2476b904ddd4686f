#include "src/gate/reply.h"

#include <set>
#include <vector>

namespace tessarin {

using nlohmann::json;

namespace {

// Parses JSON text, refusing an object that names a key twice anywhere in the document:
// nlohmann keeps only one of them, and two readers of the same reply must never disagree.
std::optional<json> parse_without_duplicates(std::string_view text) {
    std::vector<std::set<std::string>> open_objects;
    bool duplicate = false;
    auto watch = [&](int, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
                open_objects.emplace_back();
                break;
            case json::parse_event_t::object_end:
                if (!open_objects.empty())
                    open_objects.pop_back();
                break;
            case json::parse_event_t::key:
                if (!open_objects.empty() &&
                    !open_objects.back().insert(parsed.get<std::string>()).second)
                    duplicate = true;
                break;
            default:
                break;
        }
        return true;
    };
    json value = json::parse(text.begin(), text.end(), watch, /*allow_exceptions=*/false);
    if (value.is_discarded() || duplicate)
        return std::nullopt;
    return value;
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

std::optional<Reply> read_reply(const json& v) {
    const json* ok = nullptr;
    const json* result = nullptr;
    const json* error = nullptr;
    if (v.is_object()) {
        for (const auto& [key, member] : v.items()) {
            if (key == "ok")
                ok = &member;
            else if (key == "result")
                result = &member;
            else if (key == "error")
                error = &member;
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
    if (result)
        reply.result = *result;
    if (error && !error->is_null()) {
        auto e = read_reply_error(*error);
        if (!e)
            return std::nullopt;
        reply.error = std::move(*e);
    }
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
    auto value = parse_without_duplicates(text);
    if (!value)
        return CoreError(TS_0004);
    auto reply = read_reply(*value);
    if (!reply)
        return CoreError(TS_0004);
    return std::move(*reply);
}

}  // namespace tessarin
