#include "crypto/core/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <type_traits>

namespace tessarin {

namespace detail {

BasicResult<void, OsError> random_fill_from(RandomSource source, std::span<uint8_t> out) {
    size_t filled = 0;
    while (filled < out.size()) {
        const size_t want = out.size() - filled;
        ssize_t got = source(out.data() + filled, want, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return OsError{errno};
        }
        // A source that yields nothing (or claims more than asked) would loop forever or
        // overrun; neither is a draw.
        if (got == 0 || static_cast<size_t>(got) > want)
            return OsError{EIO};
        filled += static_cast<size_t>(got);
    }
    return {};
}

}  // namespace detail

BasicResult<void, OsError> random_fill_os(std::span<uint8_t> out) {
    return detail::random_fill_from(&::getrandom, out);
}

CoreResult<void> random_fill(std::span<uint8_t> out) {
    if (random_fill_os(out).is_error())
        return CoreError(TS_0018);
    return {};
}

std::string OsError::text() const {
    // strerror_r rather than strerror: the HTTP client reports errors from a thread of its own.
    char buffer[256];
    // GNU strerror_r returns the text (possibly not in buffer); XSI returns 0 and fills it.
    auto text = [&](auto result) -> const char* {
        if constexpr (std::is_same_v<decltype(result), int>)
            return result == 0 ? buffer : "Unknown error";
        else
            return result;
    }(strerror_r(code, buffer, sizeof buffer));
    return text;
}

std::string OsError::message() const {
    return text() + " (os error " + std::to_string(code) + ")";
}

}  // namespace tessarin
