#include "src/term/input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "crypto/core/utf8.h"
#include "src/base/posix.h"
#include "src/term/standard_descriptors.h"

namespace tessarin {

namespace {

std::string source_name(std::string_view source) {
    return source == "-" ? std::string("stdin") : std::string(source);
}

}  // namespace

Result<std::string> read_bounded(std::string_view source, size_t limit) {
    SecretBytes text = TRY(read_bounded_secret(source, limit));
    return std::string(text.expose_text());
}

Result<SecretBytes> read_bounded_secret(std::string_view source, size_t limit) {
    const std::string name = source_name(source);
    // A closed standard input is held by /dev/null: reading it would give an empty text that
    // was never sent.
    if (source == "-" && !stdin_readable())
        return CliError(TS_2111, "reading stdin: standard input is closed");
    UniqueFd file;
    if (source != "-") {
        file.reset(::open(std::string(source).c_str(), O_RDONLY | O_CLOEXEC));
        if (!file.valid())
            return CliError(TS_2111, "opening " + name + ": " + error_text(errno));
    }
    // Never more than limit + 1 bytes: one byte past the limit proves the input is too large.
    auto read = read_up_to(file.valid() ? file.get() : STDIN_FILENO, limit);
    if (read.is_error())
        return input_unreadable(name, read.error());
    SecretBytes text = read.release_value();
    if (text.size() > limit)
        return input_too_large(name, limit);
    if (auto fault = utf8_check(text.expose_text()))
        return input_not_utf8(name, fault->message());
    return text;
}

CliError input_unreadable(std::string_view name, int error) {
    return CliError(TS_2111, "reading " + std::string(name) + ": " + error_text(error));
}

CliError input_too_large(std::string_view name, size_t limit) {
    return CliError(TS_2110, std::string(name) + " exceeds " + std::to_string(limit) +
                                 " bytes (refuse to buffer unbounded input)");
}

CliError input_not_utf8(std::string_view name, std::string_view where) {
    return CliError(TS_2000, std::string(name) + ": not valid UTF-8: " + std::string(where));
}

}  // namespace tessarin
