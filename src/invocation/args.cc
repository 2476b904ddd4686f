#include "src/invocation/args.h"

#include "crypto/core/catalogue.h"
#include "crypto/core/utf8.h"

namespace tessarin {

std::string debug_form(const ArgToken& token) {
    switch (token.kind) {
        case ArgToken::Kind::Short: {
            std::string out = "Short('";
            if (token.text == "'" || token.text == "\\")
                out += '\\';
            out += token.text;
            return out + "')";
        }
        case ArgToken::Kind::Long:
            return "Long(" + debug_quote(token.text) + ")";
        case ArgToken::Kind::Value:
            return "Value(" + debug_quote(token.text) + ")";
    }
    return {};
}

ArgLexer::ArgLexer(std::vector<std::string> args) : m_args(std::move(args)) {}

ArgLexer::ArgLexer(int argc, char** argv) {
    m_args.reserve(argc > 0 ? argc - 1 : 0);
    for (int i = 1; i < argc; ++i) m_args.emplace_back(argv[i]);
}

// Length of the UTF-8 character starting at s[0] (1 for a stray byte).
static size_t char_length(std::string_view s) {
    auto c = static_cast<unsigned char>(s[0]);
    size_t n = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (n > s.size() || !is_utf8(s.substr(0, n)))
        return 1;
    return n;
}

Result<std::optional<ArgToken>> ArgLexer::next() {
    if (m_pending) {
        std::string message = "unexpected argument for option '" + m_last_option + "'";
        m_pending.reset();
        return CliError(TS_2000, std::move(message));
    }
    if (!m_shorts.empty()) {
        size_t n = char_length(m_shorts);
        ArgToken token{ArgToken::Kind::Short, m_shorts.substr(0, n)};
        m_shorts.erase(0, n);
        m_last_option = "-" + token.text;
        return std::optional<ArgToken>(std::move(token));
    }
    if (m_pos >= m_args.size())
        return std::optional<ArgToken>();
    std::string arg = std::move(m_args[m_pos++]);
    if (m_only_values || arg.size() < 2 || arg[0] != '-')
        return std::optional<ArgToken>(ArgToken{ArgToken::Kind::Value, std::move(arg)});
    if (arg == "--") {
        m_only_values = true;
        return next();
    }
    if (arg[1] == '-') {
        std::string name = arg.substr(2);
        if (auto eq = name.find('='); eq != std::string::npos) {
            m_pending = name.substr(eq + 1);
            name.resize(eq);
        }
        m_last_option = "--" + name;
        return std::optional<ArgToken>(ArgToken{ArgToken::Kind::Long, std::move(name)});
    }
    m_shorts = arg.substr(1);
    return next();
}

Result<std::string> ArgLexer::value() {
    if (m_pending) {
        std::string v = std::move(*m_pending);
        m_pending.reset();
        return v;
    }
    if (!m_shorts.empty()) {  // "-fVALUE"
        std::string v = std::move(m_shorts);
        m_shorts.clear();
        return v;
    }
    if (m_pos >= m_args.size())
        return CliError(TS_2000, "missing argument for option '" + m_last_option + "'");
    return std::move(m_args[m_pos++]);
}

Result<std::string> ArgLexer::utf8_value() {
    std::string v = TRY(value());
    if (!is_utf8(v))
        return CliError(TS_2000, m_last_option + ": not valid UTF-8");
    return v;
}

Result<std::string> ArgLexer::value_named(std::string_view placeholder) {
    m_last_option = std::string(placeholder);
    return value();
}

Result<std::string> require_utf8(std::string value, std::string_view what) {
    if (!is_utf8(value))
        return CliError(TS_2000, std::string(what) + ": not valid UTF-8");
    return value;
}

CliError unexpected(const ArgToken& token) {
    return CliError(TS_2000, "unexpected: " + debug_form(token));
}

}  // namespace tessarin
