// The operating system's random source (getrandom). A failure is reported, never replaced.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

#include "crypto/core/catalogue.h"

namespace tessarin {

// Fills out from getrandom, retrying on EINTR and short reads. TS-0018 on failure.
CoreResult<void> random_fill(std::span<uint8_t> out);

// A failed draw: the operating system's error number.
struct OsError {
    int code = 0;
    // The system's text for the number: "Function not implemented (os error 38)".
    std::string message() const;
    // The C library's text alone: "Function not implemented". The program's one reader of
    // strerror_r (the other units ask through error_text in src/posix.h).
    std::string text() const;
};

// Fills out like random_fill, but reports the operating system's error itself (for callers
// whose message names it, such as the gate's "rng: {}").
BasicResult<void, OsError> random_fill_os(std::span<uint8_t> out);

namespace detail {
// The shape of getrandom(2).
using RandomSource = ssize_t (*)(void* buffer, size_t length, unsigned int flags);
// The retry loop over a given source; random_fill_os runs it over getrandom. Tests pass
// sources that are interrupted, read short or fail.
BasicResult<void, OsError> random_fill_from(RandomSource source, std::span<uint8_t> out);
}  // namespace detail

}  // namespace tessarin
