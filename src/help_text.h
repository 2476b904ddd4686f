// The styles of the program's output and the help text.
#pragma once

#include <string>
#include <string_view>

namespace tessarin {

namespace style {
inline constexpr std::string_view bold = "\x1b[1m";
inline constexpr std::string_view dim = "\x1b[2m";
inline constexpr std::string_view reset = "\x1b[0m";
inline constexpr std::string_view white_bold = "\x1b[37;1m";
inline constexpr std::string_view green = "\x1b[38;2;134;239;172m";
inline constexpr std::string_view grey = "\x1b[38;2;107;107;107m";
inline constexpr std::string_view red = "\x1b[38;2;220;38;38m";
}  // namespace style

// The whole help text, styled or plain.
std::string help_text(bool color);

}  // namespace tessarin
