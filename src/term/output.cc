#include "src/term/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "src/base/posix.h"
#include "src/term/style.h"

namespace tessarin {

bool color_enabled() {
    const char* no_color = std::getenv("NO_COLOR");
    if (no_color && *no_color)
        return false;
    // A terminal that declares itself dumb does not interpret escape sequences: they would
    // show up as text.
    const char* term = std::getenv("TERM");
    if (term && std::string_view(term) == "dumb")
        return false;
    return isatty(STDOUT_FILENO) == 1;
}

bool error_color_enabled() {
    // Standard error redirected to a file (a log) gets no escape sequences even when standard
    // output is still the terminal.
    return color_enabled() && isatty(STDERR_FILENO) == 1;
}

namespace {

// Whether the terminal filter keeps line breaks: tab and newline stay (keep), or go as carriage
// return always does (drop).
enum class LineBreaks { keep, drop };

// How many bytes at s form one character that must not reach a terminal; 0 when the
// character at s may stay. Bytes that are not part of a valid UTF-8 sequence are removed
// too: a lone 0x9B is a control sequence introducer on terminals in 8-bit mode.
size_t unsafe_length(const unsigned char* s, size_t n, LineBreaks breaks) {
    unsigned char c = s[0];
    if (c < 0x20) {
        if (c == '\t' || c == '\n')
            return breaks == LineBreaks::drop ? 1 : 0;
        return 1;
    }
    if (c < 0x7f)
        return 0;
    if (c == 0x7f)
        return 1;
    size_t len = c >= 0xF0 && c <= 0xF4   ? 4
                 : c >= 0xE0 && c <= 0xEF ? 3
                 : c >= 0xC2 && c <= 0xDF ? 2
                                          : 0;
    if (len == 0 || len > n)
        return 1;
    for (size_t k = 1; k < len; ++k)
        if ((s[k] & 0xC0) != 0x80)
            return 1;
    // Overlong, surrogate and out-of-range forms.
    if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] > 0x9F) || (c == 0xF0 && s[1] < 0x90) ||
        (c == 0xF4 && s[1] > 0x8F))
        return 1;
    if (c == 0xC2 && s[1] <= 0x9F)
        return 2;  // C1 controls U+0080..U+009F
    if (c == 0xE2 && s[1] == 0x80 && s[2] >= 0xAA && s[2] <= 0xAE)
        return 3;  // U+202A..U+202E: bidirectional embeddings and overrides
    if (c == 0xE2 && s[1] == 0x81 && s[2] >= 0xA6 && s[2] <= 0xA9)
        return 3;  // U+2066..U+2069: bidirectional isolates
    return 0;
}

size_t char_length(unsigned char c) {
    return c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
}

// The one filter behind terminal_safe and one_line: the characters of text that may reach a
// terminal, at most max_chars of them, with line breaks kept or dropped. Nothing (and no copy)
// when the text passes whole; otherwise the copy, in a buffer that wipes itself.
std::optional<SecretBytes> terminal_filter(std::string_view text, LineBreaks breaks,
                                           size_t max_chars) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    // Most texts are clean: nothing is copied before the first character that must go.
    std::optional<SecretBytes> out;
    const auto start_copy = [&](size_t clean_prefix) {
        out.emplace();
        // Room for the whole result up front, one allocation: never longer than the input, nor
        // than max_chars characters of at most four bytes.
        out->reserve(max_chars > n / 4 ? n : max_chars * 4);
        out->append_text(text.substr(0, clean_prefix));
    };
    size_t kept = 0;
    for (size_t i = 0; i < n;) {
        if (kept == max_chars) {
            if (!out)
                start_copy(i);
            break;
        }
        if (size_t bad = unsafe_length(s + i, n - i, breaks)) {
            if (!out)
                start_copy(i);
            i += bad;
            continue;
        }
        const size_t len = char_length(s[i]);
        if (out)
            out->append_text(text.substr(i, len));
        i += len;
        ++kept;
    }
    return out;
}

[[noreturn]] void fatal_write(const char* stream, int error) {
    // The other stream may still work; this is the last thing the process says.
    std::string message =
        std::string("failed printing to ") + stream + ": " + write_error_text(error) + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, message.data(), message.size());
    (void)ignored;
    _exit(1);
}

// A whole write to one of the standard streams, or the end of the process.
void write_or_exit(int fd, std::string_view bytes) {
    int error = write_all(fd, bytes);
    if (error == 0)
        return;
    // The reader went away: stop quietly and successfully.
    if (error == EPIPE)
        _exit(0);
    fatal_write(fd == STDOUT_FILENO ? "stdout" : "stderr", error);
}

}  // namespace

SafeText terminal_safe(std::string_view text) {
    std::optional<SecretBytes> filtered = terminal_filter(text, LineBreaks::keep, SIZE_MAX);
    return filtered ? SafeText(std::move(*filtered)) : SafeText(text);
}

SafeText one_line(std::string_view text, size_t max_chars) {
    std::optional<SecretBytes> filtered = terminal_filter(text, LineBreaks::drop, max_chars);
    return filtered ? SafeText(std::move(*filtered)) : SafeText(text);
}

void write_stdout(std::string_view bytes) {
    write_or_exit(STDOUT_FILENO, bytes);
}
void write_stderr(std::string_view bytes) {
    write_or_exit(STDERR_FILENO, bytes);
}

std::optional<int> write_stdout_checked(std::string_view bytes) {
    int error = write_all(STDOUT_FILENO, bytes);
    return error ? std::optional<int>(error) : std::nullopt;
}

void write_notice(std::string_view bytes) {
    (void)write_all(STDERR_FILENO, bytes);
}

void print_error(std::string_view text) {
    SafeText safe = terminal_safe(text);
    std::string line;
    if (error_color_enabled()) {
        line.append(style::red).append("\u2717 ").append(safe.view()).append(style::reset);
    } else {
        line.append(safe.view());
    }
    line.push_back('\n');
    write_stderr(line);
}

namespace {

// The success line; the text may be a decrypted summary, so the line wipes itself.
SecretBytes ok_line(std::string_view text, bool colour) {
    SafeText safe = terminal_safe(text);
    SecretBytes line;
    line.reserve(safe.view().size() + 64);
    if (colour) {
        line.append_text(style::green);
        line.append_text(style::bold);
        line.append_text("\u2713");
        line.append_text(style::reset);
        line.append_text(" ");
        line.append_text(style::green);
        line.append_text(safe.view());
        line.append_text(style::reset);
    } else {
        line.append_text("OK: ");
        line.append_text(safe.view());
    }
    line.push_back('\n');
    return line;
}

}  // namespace

void print_ok(std::string_view text) {
    write_stdout(ok_line(text, color_enabled()).expose_text());
}

std::optional<int> print_ok_checked(std::string_view text) {
    const SecretBytes line = ok_line(text, color_enabled());
    int error = write_all(STDOUT_FILENO, line.expose_text());
    if (error == EPIPE)
        _exit(0);  // the reader went away: as every write to standard output
    return error ? std::optional<int>(error) : std::nullopt;
}

std::optional<int> print_ok_on_stderr_checked(std::string_view text) {
    const SecretBytes line = ok_line(text, error_color_enabled());
    int error = write_all(STDERR_FILENO, line.expose_text());
    if (error == EPIPE)
        _exit(0);
    return error ? std::optional<int>(error) : std::nullopt;
}

void print_dim(std::string_view text) {
    SafeText safe = terminal_safe(text);
    std::string line;
    if (color_enabled())
        line.append(style::dim).append(safe.view()).append(style::reset);
    else
        line.append(safe.view());
    line.push_back('\n');
    write_stdout(line);
}

void print_field(std::string_view label, std::string_view value) {
    SafeText safe_label = terminal_safe(label);
    SafeText safe_value = terminal_safe(value);
    // The value may be a decrypted secret: the line is built in a wiping buffer, sized once.
    SecretBytes line;
    line.reserve(safe_label.view().size() + safe_value.view().size() + 64);
    if (color_enabled()) {
        line.append_text(style::grey);
        line.append_text(safe_label.view());
        line.append_text(":");
        line.append_text(style::reset);
        line.append_text(" ");
    } else {
        line.append_text(safe_label.view());
        line.append_text(": ");
    }
    line.append_text(safe_value.view());
    line.push_back('\n');
    write_stdout(line.expose_text());
}

void print_field_marker(std::string_view label, std::string_view marker) {
    SafeText safe_label = terminal_safe(label);
    SafeText safe_marker = terminal_safe(marker);
    std::string line;
    if (color_enabled()) {
        line.append(style::grey).append(safe_label.view()).append(": ").append(safe_marker.view());
        line.append(style::reset);
    } else {
        line.append(safe_label.view()).append(": ").append(safe_marker.view());
    }
    line.push_back('\n');
    write_stdout(line);
}

void print_summary_line(std::string_view key, std::string_view value) {
    SafeText safe_value = terminal_safe(value);
    std::string line;
    if (color_enabled()) {
        line.append(style::grey).append("\u2192 ").append(key).append(":").append(style::reset);
        line.append(" ").append(style::bold).append(safe_value.view()).append(style::reset);
    } else {
        line.append("  ").append(key).append(": ").append(safe_value.view());
    }
    line.push_back('\n');
    write_stdout(line);
}

void print_version() {
    std::string line;
    if (color_enabled()) {
        line.append(style::bold).append("TESSARIN").append(style::reset).append(" ");
        line.append(style::white_bold).append("v").append(k_version).append(style::reset);
    } else {
        line.append("tessarin-cli ").append(k_version);
    }
    line.push_back('\n');
    write_stdout(line);
}

void print_out_of_memory() {
    // Nothing here allocates: the pieces are constants, written one after the other.
    const bool color = error_color_enabled();
    const std::string_view pieces[] = {color ? style::red : "", color ? "\u2717 " : "",
                                       "TS-0005: out of memory", color ? style::reset : "", "\n"};
    for (std::string_view piece : pieces)
        if (write_all(STDERR_FILENO, piece) == EPIPE)
            _exit(0);
}

}  // namespace tessarin
