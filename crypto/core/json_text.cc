#include "crypto/core/json_text.h"

#include <memory>
#include <new>

#include "crypto/core/utf8.h"

namespace tessarin {

namespace {

using json = nlohmann::json;

// nlohmann's serialiser writes through this: straight into the wiping buffer.
class SecretOutput : public nlohmann::detail::output_adapter_protocol<char> {
  public:
    explicit SecretOutput(SecretBytes& out) : m_out(out) {}
    void write_character(char c) override { m_out.push_back(static_cast<uint8_t>(c)); }
    void write_characters(const char* s, std::size_t length) override {
        m_out.append_text({s, length});
    }

  private:
    SecretBytes& m_out;
};

using Serializer = nlohmann::detail::serializer<json>;

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

BasicResult<SecretBytes, std::string> dump_json_secret(const json& value) {
    SecretBytes out;
    // The serialiser keeps the last pieces it escaped in buffers of its own: it lives inside
    // a wiping buffer too, so they go when this function returns.
    SecretBytes room(sizeof(Serializer) + alignof(Serializer));
    void* place = room.expose_secret_mut().data();
    size_t space = room.size();
    place = std::align(alignof(Serializer), sizeof(Serializer), place, space);
    auto* serializer = new (place)
        Serializer(std::make_shared<SecretOutput>(out), ' ', json::error_handler_t::strict);
    std::string error;
    try {
        serializer->dump(value, /*pretty_print=*/false, /*ensure_ascii=*/false, 0);
    } catch (const json::exception& e) {
        error = e.what();
    }
    serializer->~Serializer();
    if (!error.empty())
        return error;
    return out;
}

}  // namespace tessarin
