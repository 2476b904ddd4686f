// The operating system's random source (getrandom). A failure is reported, never replaced.
#pragma once

#include <cstdint>
#include <span>

#include "crypto/core/catalogue.h"

namespace tessarin {

// Fills out from getrandom, retrying on EINTR and short reads. TS-0018 on failure.
CoreResult<void> random_fill(std::span<uint8_t> out);

}  // namespace tessarin
