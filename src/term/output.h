// Everything the program shows a person: the colour decision, the terminal-safety filter,
// the styled lines, the version line and the help text.
// Raw results (a field value, JSON, a rendered template) are written with write_stdout.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "crypto/core/secret.h"

namespace tessarin {

inline constexpr std::string_view k_version = "1.7.1";

// True when NO_COLOR is absent or empty, TERM is not "dumb" and standard output is a terminal.
// Evaluated at each call.
bool color_enabled();
// color_enabled, and standard error is a terminal too: the colour decision for the error line.
bool error_color_enabled();

// Text made fit for a terminal (terminal_safe, one_line). Views the input when it passed whole
// (no copy); a copy may hold a decrypted value on its way to the terminal, so it lives in a
// buffer that wipes itself.
class SafeText {
  public:
    explicit SafeText(std::string_view borrowed) : m_view(borrowed) {}
    explicit SafeText(SecretBytes owned)
        : m_owned(std::move(owned)), m_view(m_owned.expose_text()), m_copied(true) {}
    SafeText(const SafeText&) = delete;
    SafeText& operator=(const SafeText&) = delete;
    std::string_view view() const { return m_view; }
    bool copied() const { return m_copied; }
    operator std::string_view() const { return m_view; }

  private:
    SecretBytes m_owned;
    std::string_view m_view;
    bool m_copied = false;
};

// Removes C0 controls other than tab and newline, DEL, C1 controls, U+202A..U+202E and
// U+2066..U+2069.
SafeText terminal_safe(std::string_view text);
// terminal_safe, and tab, newline and carriage return dropped too; at most n characters. Views
// the input when it passes whole, as terminal_safe does.
SafeText one_line(std::string_view text, size_t n);

// Whole writes to standard output / standard error. A closed pipe ends the process silently
// with status 0; any other failure is fatal ("failed printing to stdout: <reason>").
void write_stdout(std::string_view bytes);
void write_stderr(std::string_view bytes);
// A whole write to standard output that reports its failure (the errno), a closed pipe
// included, for raw results whose caller turns it into an error of its own.
std::optional<int> write_stdout_checked(std::string_view bytes);
// A notice on standard error (the failover notice, a quota warning, render's warning): written
// when it can be. A notice that cannot be written never stops the command, so every failure of
// the write is ignored, a closed pipe included.
void write_notice(std::string_view bytes);

void print_error(std::string_view text);
void print_ok(std::string_view text);
// print_ok for a line that reports what already happened in the vault: a closed pipe ends the
// process quietly as everywhere, any other failure is returned (the errno) so the caller can
// say what was done.
std::optional<int> print_ok_checked(std::string_view text);
// print_ok_checked on standard error, for a command whose standard output carries only its
// result (the values put and edit generate); coloured when standard error may be.
std::optional<int> print_ok_on_stderr_checked(std::string_view text);
void print_dim(std::string_view text);
void print_field(std::string_view label, std::string_view value);
void print_field_marker(std::string_view label, std::string_view marker);
void print_summary_line(std::string_view key, std::string_view value);
void print_version();
// The error line of an allocation failure, "TS-0005: out of memory", written without allocating.
void print_out_of_memory();

}  // namespace tessarin
