#include "crypto/core/catalogue.h"

#include <cstdio>

namespace tessarin {

std::string display(const TessarinError& error) {
    std::string out;
    out.reserve(error.code.size() + 2 + error.user_msg.size());
    out.append(error.code).append(": ").append(error.user_msg);
    return out;
}

namespace {

// The code point of the invisible control character that starts s (C1 controls, bidirectional
// embeddings, overrides and isolates), or 0. Such characters are written as escapes so that a
// debug form never hides or reorders text.
uint32_t invisible_control(std::string_view s) {
    auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    if (s.size() >= 2 && b(0) == 0xC2 && b(1) >= 0x80 && b(1) <= 0x9F)
        return b(1);
    if (s.size() >= 3 && b(0) == 0xE2) {
        uint32_t cp = ((b(0) & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
        if ((b(1) & 0xC0) == 0x80 && (b(2) & 0xC0) == 0x80 &&
            ((cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069)))
            return cp;
    }
    return 0;
}

void append_escape(std::string& out, uint32_t cp) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
    out += buf;
}

}  // namespace

std::string debug_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        if (c < 0x20 || c == 0x7f) {
            append_escape(out, c);
        } else if (uint32_t cp = invisible_control(text.substr(i))) {
            append_escape(out, cp);
            i += cp < 0x100 ? 1 : 2;
        } else {
            // Other bytes, those of multi-byte characters such as the em dash included, pass.
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

std::string_view severity_name(Severity s) {
    return s == Severity::Error ? "Error" : "Bug";
}

std::string_view component_name(Component c) {
    return c == Component::Crypto ? "Crypto" : "Cli";
}

std::string debug_form(const TessarinError& e) {
    std::string out = "TessarinError { code: ";
    out += debug_quote(e.code);
    out += ", user_msg: ";
    out += debug_quote(e.user_msg);
    out += ", tech_msg: ";
    out += debug_quote(e.tech_msg);
    out += ", resolution: ";
    out += debug_quote(e.resolution);
    out += ", severity: ";
    out += severity_name(e.severity);
    out += ", component: ";
    out += component_name(e.component);
    out += " }";
    return out;
}

}  // namespace tessarin
