// Small text helpers shared by the program's units.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin {

// ASCII case folding: 'A'..'Z' to 'a'..'z', every other byte as it is (UTF-8 untouched).
constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string ascii_lowercase(std::string_view text);
bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);

// A whole decimal number, all of text: digits after an optional "+" (or, for the signed form,
// "-"); nothing else, no white space. None when the text is not one or does not fit.
std::optional<int64_t> parse_signed_decimal(std::string_view text);
std::optional<uint64_t> parse_unsigned_decimal(std::string_view text);

// Text without Unicode white space (White_Space: ASCII tab to carriage return and space,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) at either
// end. Bytes that are not such a character in UTF-8 are kept.
std::string_view trim_space(std::string_view text);

// Characters (not bytes) of UTF-8 text: the bytes that do not continue a character.
size_t char_count(std::string_view text);

// "line 2, column 5" of a byte offset in text (columns count bytes, both from 1).
std::string text_position(std::string_view text, size_t offset);

}  // namespace tessarin
