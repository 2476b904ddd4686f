#include "src/base/text.h"

#include <charconv>
#include <cstddef>

namespace tessarin {

namespace {

// Unicode White_Space at t[i]: its length in bytes, or 0.
size_t space_at(std::string_view t, size_t i) {
    auto c = static_cast<unsigned char>(t[i]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0d))
        return 1;
    if (c == 0xC2 && i + 1 < t.size()) {
        auto d = static_cast<unsigned char>(t[i + 1]);
        return d == 0x85 || d == 0xA0 ? 2 : 0;  // U+0085, U+00A0
    }
    if (i + 2 >= t.size())
        return 0;
    auto d = static_cast<unsigned char>(t[i + 1]);
    auto e = static_cast<unsigned char>(t[i + 2]);
    if (c == 0xE1 && d == 0x9A && e == 0x80)
        return 3;  // U+1680
    if (c == 0xE2 && d == 0x80 && ((e >= 0x80 && e <= 0x8A) || e == 0xA8 || e == 0xA9 || e == 0xAF))
        return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
    if (c == 0xE2 && d == 0x81 && e == 0x9F)
        return 3;  // U+205F
    if (c == 0xE3 && d == 0x80 && e == 0x80)
        return 3;  // U+3000
    return 0;
}

// Unicode White_Space ending at t[end): its length in bytes, or 0.
size_t space_before(std::string_view t, size_t end) {
    for (size_t len = 1; len <= 3 && len <= end; ++len)
        if (space_at(t, end - len) == len)
            return len;
    return 0;
}

}  // namespace

std::string_view trim_space(std::string_view text) {
    size_t start = 0;
    while (start < text.size()) {
        size_t n = space_at(text, start);
        if (!n)
            break;
        start += n;
    }
    size_t end = text.size();
    while (end > start) {
        size_t n = space_before(text, end);
        if (!n || end - n < start)
            break;
        end -= n;
    }
    return text.substr(start, end - start);
}

std::string text_position(std::string_view text, size_t offset) {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

size_t char_count(std::string_view text) {
    size_t n = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++n;
    return n;
}

std::string ascii_lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

namespace {

// from_chars reads a "-" for a signed type but never a "+": that one is taken off here, and
// must be followed by a digit.
template <typename T>
std::optional<T> parse_decimal(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] >= '0' && text[1] <= '9')
        text.remove_prefix(1);
    T value{};
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<int64_t> parse_signed_decimal(std::string_view text) {
    return parse_decimal<int64_t>(text);
}

std::optional<uint64_t> parse_unsigned_decimal(std::string_view text) {
    return parse_decimal<uint64_t>(text);
}

}  // namespace tessarin
