#include "src/gate/reply.h"

#include "src/json/value.h"

namespace tessarin {

using nlohmann::json;

namespace {

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
    // The one JSON reader: a key given twice anywhere in the document is refused (two readers
    // of the same reply must never disagree), and so are containers nested more than
    // k_max_reply_nesting deep, as each one opens (a hostile reply of a few hundred
    // kilobytes of "[" costs nothing, and every later walk of the value, moving it or
    // printing it with --json, stays shallow) and anything after the document.
    auto value = parse_json_value(text, k_max_reply_nesting);
    if (value.is_error())
        return CoreError(TS_0004);
    auto reply = read_reply(value.value());
    if (!reply)
        return CoreError(TS_0004);
    return std::move(*reply);
}

}  // namespace tessarin
