// The argument lexer: turns the command line into Short, Long and Value tokens, with a value
// call for option arguments. Values are bytes, not yet known to be UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/base/errors.h"

namespace tessarin {

struct ArgToken {
    enum class Kind { Short, Long, Value };
    Kind kind;
    std::string text;  // Short: one character (UTF-8), Long: name without dashes, Value: bytes

    bool is_long(std::string_view name) const { return kind == Kind::Long && text == name; }
    bool is_short(char c) const { return kind == Kind::Short && text.size() == 1 && text[0] == c; }
    bool is_value() const { return kind == Kind::Value; }
};

// Short('x'), Long("name"), Value("text")
std::string debug_form(const ArgToken& token);

class ArgLexer {
  public:
    explicit ArgLexer(std::vector<std::string> args);
    ArgLexer(int argc, char** argv);  // skips the program name

    // The next token, or nullopt at the end of the line. Fails (TS-2000 with the lexer's
    // message as detail) when a "--name=value" value was left unread.
    Result<std::optional<ArgToken>> next();

    // The argument of the option just read: the text after "=", or the next argument.
    // At the end of the line: TS-2000 "missing argument for option '--field'".
    Result<std::string> value();

    // value() that must be UTF-8: TS-2000 "--field: not valid UTF-8" otherwise.
    Result<std::string> utf8_value();

    // The next argument read as the value of a named placeholder ("<title>", "<subcommand>"):
    // its messages name the placeholder ("missing argument for option '<title>'").
    Result<std::string> value_named(std::string_view placeholder);

  private:
    std::vector<std::string> m_args;
    size_t m_pos = 0;
    std::string m_last_option;             // "--field" or "-f", for messages
    std::optional<std::string> m_pending;  // text after "=" of the last long option
    std::string m_shorts;                  // rest of a "-abc" cluster
    bool m_only_values = false;            // after "--"
};

// The command-specific "not valid UTF-8" check for a positional argument.
Result<std::string> require_utf8(std::string value, std::string_view what);
// TS-2000 "unexpected: <debug form>".
CliError unexpected(const ArgToken& token);

}  // namespace tessarin
