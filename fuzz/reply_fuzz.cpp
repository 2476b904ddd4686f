// libFuzzer harness for the gate's reply: the input is the decrypted payload of Noise message
// 2, marker byte included. Decoding never crashes and fails only with TS-0010 (empty) or
// TS-0004 (anything else); JSON nested deeper than k_max_reply_nesting containers or followed
// by anything but white space is refused, and a payload that decodes is exactly the Reply it
// describes, so the Reply written back in either of its forms decodes to the same Reply, and
// its result is the one nlohmann's parser reads from the same text. The JSON writer for secret
// texts writes any result byte for byte as nlohmann's dump does.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/core/catalogue.h"
#include "crypto/core/json_text.h"
#include "crypto/core/token.h"
#include "fuzz/fuzz_support.h"
#include "src/gate/gate.h"
#include "src/gate/reply.h"

namespace {

using nlohmann::json;
using tessarin::Reply;

// Compact text of a value (number spellings aside, two equal values write the same text).
std::string text_of(const json& value) {
    try {
        return value.dump();
    } catch (const json::exception&) {
        FUZZ_CHECK(!"a decoded reply holds a value that cannot be written");
    }
    return {};
}

bool same(const Reply& a, const Reply& b) {
    if (a.ok != b.ok || text_of(a.result) != text_of(b.result) ||
        a.error.has_value() != b.error.has_value())
        return false;
    return !a.error || (a.error->code == b.error->code && a.error->message == b.error->message);
}

// The deepest container nesting of JSON text (brackets outside strings).
size_t nesting(std::string_view text) {
    size_t depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

tessarin::CoreResult<Reply> decode(const std::string& text) {
    std::string payload(1, static_cast<char>(tessarin::k_payload_marker));
    payload += text;
    return tessarin::decode_reply(tessarin::as_bytes(payload), tessarin::k_max_reply_payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessarin;
    const ByteView payload(data, size);
    auto decoded = decode_reply(payload, k_max_reply_payload);
    const std::string_view text =
        size > 0 ? std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1) : "";
    if (decoded.is_error()) {
        const TessarinError* code = decoded.error().record;
        FUZZ_CHECK(code == &TS_0004 || code == &TS_0010);
        FUZZ_CHECK((code == &TS_0010) == (size == 0));
        return 0;
    }
    FUZZ_CHECK(size > 0 && data[0] == k_payload_marker);
    FUZZ_CHECK(fuzz::is_one_container(text));
    FUZZ_CHECK(nesting(text) <= k_max_reply_nesting);
    const Reply& reply = decoded.value();

    // nlohmann's parser reads the same result.
    const json doc = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    FUZZ_CHECK(!doc.is_discarded());
    const json theirs =
        doc.is_object() ? doc.value("result", json()) : (doc.size() > 1 ? doc[1] : json());
    FUZZ_CHECK(text_of(theirs) == text_of(reply.result));

    // The secret-keeping writer writes what nlohmann's own compact dump writes.
    auto secret_text = dump_json_secret(reply.result);
    FUZZ_CHECK(!secret_text.is_error() &&
               secret_text.value().expose_text() == text_of(reply.result));

    // The object form, members absent where the Reply has nothing.
    json object = json::object();
    object["ok"] = reply.ok;
    if (!reply.result.is_null())
        object["result"] = reply.result;
    if (reply.error)
        object["error"] = {{"code", reply.error->code}, {"message", reply.error->message}};
    auto from_object = decode(text_of(object));
    FUZZ_CHECK(!from_object.is_error());
    FUZZ_CHECK(same(from_object.value(), reply));

    // The array form, every member present.
    json array = json::array({reply.ok, reply.result, nullptr});
    if (reply.error)
        array[2] = json::array({reply.error->code, reply.error->message});
    auto from_array = decode(text_of(array));
    FUZZ_CHECK(!from_array.is_error());
    FUZZ_CHECK(same(from_array.value(), reply));
    return 0;
}
