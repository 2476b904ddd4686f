// The styles of the program's output: the escape sequences of its colours and weights.
#pragma once

#include <string_view>

namespace tessarin::style {

inline constexpr std::string_view bold = "\x1b[1m";
inline constexpr std::string_view dim = "\x1b[2m";
inline constexpr std::string_view reset = "\x1b[0m";
inline constexpr std::string_view white_bold = "\x1b[37;1m";
inline constexpr std::string_view green = "\x1b[38;2;134;239;172m";
inline constexpr std::string_view grey = "\x1b[38;2;107;107;107m";
inline constexpr std::string_view red = "\x1b[38;2;220;38;38m";

}  // namespace tessarin::style
