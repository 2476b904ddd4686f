// UTF-8 validation that reports where valid input ends.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin {

struct Utf8Fault {
    size_t valid_up_to;  // bytes before the first invalid sequence
    // The decoder's message: "invalid utf-8 sequence of 1 bytes from index 3" or
    // "incomplete utf-8 byte sequence from index 3".
    std::string message() const;
    bool incomplete;  // the input ends inside a sequence
    size_t error_len;
};

// nullopt when text is valid UTF-8 (no surrogates, no overlong forms, at most U+10FFFF).
std::optional<Utf8Fault> utf8_check(std::string_view text);
inline bool is_utf8(std::string_view text) {
    return !utf8_check(text).has_value();
}

}  // namespace tessarin
