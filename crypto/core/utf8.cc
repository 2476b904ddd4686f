#include "crypto/core/utf8.h"

#include <cstdint>

namespace tessarin {

std::string Utf8Fault::message() const {
    if (incomplete)
        return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
    return "invalid utf-8 sequence of " + std::to_string(error_len) + " bytes from index " +
           std::to_string(valid_up_to);
}

std::optional<Utf8Fault> utf8_check(std::string_view text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t need;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0)
                lo = 0xA0;  // no overlong forms
            if (c == 0xED)
                hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0)
                lo = 0x90;
            if (c == 0xF4)
                hi = 0x8F;  // at most U+10FFFF
        } else {
            return Utf8Fault{i, false, 1};
        }
        // Count how many continuation bytes are good, as a decoder reports it.
        size_t good = 0;
        for (size_t k = 1; k <= need; ++k) {
            if (i + k >= n)
                return Utf8Fault{i, true, 0};
            uint8_t b = s[i + k];
            uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
            if (b < l || b > h)
                return Utf8Fault{i, false, good + 1};
            ++good;
        }
        i += need + 1;
    }
    return std::nullopt;
}

}  // namespace tessarin
