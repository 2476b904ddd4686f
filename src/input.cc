#include "src/input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crypto/core/utf8.h"
#include "src/posix.h"

namespace tessarin {

namespace {

constexpr size_t k_piece = 65536;

std::string source_name(std::string_view source) {
    return source == "-" ? std::string("stdin") : std::string(source);
}

}  // namespace

Result<std::string> read_bounded(std::string_view source, size_t limit) {
    const std::string name = source_name(source);
    int fd = STDIN_FILENO;
    if (source != "-") {
        fd = ::open(std::string(source).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return CliError(TS_2111, "opening " + name + ": " + error_text(errno));
    }
    // Never hold more than limit + 1 bytes: one byte past the limit proves the input is
    // too large without reading the rest of it.
    std::string text;
    int read_errno = 0;
    while (text.size() <= limit) {
        size_t want = std::min(k_piece, limit + 1 - text.size());
        size_t old = text.size();
        text.resize(old + want);
        ssize_t n = ::read(fd, text.data() + old, want);
        if (n < 0) {
            text.resize(old);
            if (errno == EINTR)
                continue;
            read_errno = errno;
            break;
        }
        text.resize(old + static_cast<size_t>(n));
        if (n == 0)
            break;
    }
    if (fd != STDIN_FILENO)
        ::close(fd);
    if (read_errno)
        return CliError(TS_2111, "reading " + name + ": " + error_text(read_errno));
    if (text.size() > limit)
        return CliError(TS_2110, name + " exceeds " + std::to_string(limit) +
                                     " bytes (refuse to buffer unbounded input)");
    if (auto fault = utf8_check(text))
        return CliError(TS_2000, name + ": not valid UTF-8: " + fault->message());
    return text;
}

}  // namespace tessarin
