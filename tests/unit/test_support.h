// Small helpers shared by the unit tests.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"
#include "crypto/core/catalogue.h"
#include "crypto/core/primitives.h"

namespace tessarin::testing_support {

// Bytes from a hex literal in a test; a typo in the literal fails the test loudly.
inline Bytes hex(std::string_view text) {
    auto out = hex_decode(text);
    if (!out)
        throw std::runtime_error("bad hex in test: " + std::string(text));
    return *out;
}

// The failure code of a core result, or "ok".
template <typename T>
std::string_view code_of(const CoreResult<T>& result) {
    return result.is_error() ? result.error().get().code : std::string_view("ok");
}

}  // namespace tessarin::testing_support
