#include "crypto/core/catalogue.h"

#include <cstdio>

namespace tessarin {

std::string display(const TessarinError& error) {
    std::string out;
    out.reserve(error.code.size() + 2 + error.user_msg.size());
    out.append(error.code).append(": ").append(error.user_msg);
    return out;
}

std::string debug_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[12];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                    out += buf;
                } else {
                    // Bytes of multi-byte characters (the em dash) pass unchanged.
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
    return out;
}

std::string_view severity_name(Severity s) {
    return s == Severity::Error ? "Error" : "Bug";
}

std::string_view component_name(Component c) {
    static constexpr std::string_view names[] = {"Crypto", "Vault", "Cli",   "Browser",
                                                 "Mobile", "Proxy", "Admin", "Sync"};
    return names[static_cast<int>(c)];
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
