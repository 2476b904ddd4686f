// The help text.
#pragma once

#include <string>
#include <string_view>

namespace tessarin {

// The whole help text, styled or plain.
std::string help_text(bool color);

// The help text on standard output, styled when the output is.
void print_help();

// The error line, a blank line on standard error, then the help text on standard output.
void print_usage_error(std::string_view text);

}  // namespace tessarin
