// Lines typed at the terminal on standard input: read a byte at a time (nothing after the line
// feed is consumed), and, for secrets, with echo switched off and the terminal's settings put
// back as they were whatever happens: a termination signal, or the job suspended and resumed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "crypto/core/result.h"
#include "crypto/core/secret.h"
#include "src/base/errors.h"

namespace tessarin {

// Why a line could not be read.
struct LineFault {
    enum class Kind { TooLong, Read, NotUtf8 };
    Kind kind = Kind::Read;
    int error = 0;                // Read: the errno (EINTR when a signal ended the read)
    std::string decoder_message;  // NotUtf8: where the input stopped being UTF-8
};

// One line of standard input without its line feed, up to and excluding the first line feed
// or to the end of input; at most limit bytes (one more is TooLong). Valid UTF-8.
BasicResult<SecretBytes, LineFault> read_stdin_line(size_t limit);

// Writes prompt to standard error and runs read with echo switched off (the terminal's
// settings are saved first): the saved settings are put back after the read, whatever its
// outcome, and the typed Enter (not echoed) is written as a line feed. A termination signal
// during the read ends it; the settings are put back and the signal is then delivered with its
// previous disposition. Ctrl-Z puts the settings back and stops the job; in the foreground
// again, echo goes off and the prompt is shown again. When echo cannot be switched off,
// `warning` is written after the prompt and the line is read with echo on.
Result<SecretBytes> read_hidden(std::string_view prompt, std::string_view warning,
                                const std::function<Result<SecretBytes>()>& read);

// The value of a path option given as "-" while standard input is a terminal: a prompt naming
// the option ("--password-file: "), one line read with echo off, its line end dropped. Fails
// like the bounded reader on standard input (TS-2110, TS-2111, TS-2000 naming "stdin").
Result<SecretBytes> read_terminal_value(std::string_view option, size_t limit);

}  // namespace tessarin
