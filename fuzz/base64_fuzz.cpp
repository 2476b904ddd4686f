// libFuzzer harness for the base64 and hex codecs. Decoding any bytes must never crash; a text
// a strict decoder accepts is exactly what the encoder writes for the decoded bytes (so no two
// texts decode to the same value); every decoder variant agrees with the others; and encoding
// any bytes decodes back to them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"
#include "fuzz/fuzz_support.h"

namespace {

bool same(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessarin;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::span<const uint8_t> bytes(data, size);

    // Standard alphabet, padded.
    auto standard = base64_decode(text);
    auto checked = base64_decode_checked(text);
    auto standard_secret = base64_decode_secret(text);
    FUZZ_CHECK(standard.has_value() == !checked.is_error());
    FUZZ_CHECK(standard.has_value() == standard_secret.has_value());
    if (standard) {
        FUZZ_CHECK(base64_encode(*standard) == text);
        FUZZ_CHECK(same(*standard, checked.value()));
        FUZZ_CHECK(same(*standard, standard_secret->expose_secret()));
    } else {
        const Base64Fault& fault = checked.error();
        FUZZ_CHECK(fault.offset <= size);
        FUZZ_CHECK(!fault.message().empty());
    }

    // URL-safe alphabet, unpadded.
    auto url = base64url_decode(text);
    auto url_secret = base64url_decode_secret(text);
    FUZZ_CHECK(url.has_value() == url_secret.has_value());
    if (url) {
        FUZZ_CHECK(base64url_encode(*url) == text);
        FUZZ_CHECK(same(*url, url_secret->expose_secret()));
    }

    // Hex: either case in, lower case out.
    if (auto decoded = hex_decode(text)) {
        std::string lower(text);
        for (char& c : lower)
            if (c >= 'A' && c <= 'F')
                c = static_cast<char>(c - 'A' + 'a');
        FUZZ_CHECK(hex_encode(*decoded) == lower);
    }

    // The other direction: any bytes encode to a text that decodes back to them.
    auto back = base64_decode(base64_encode(bytes));
    FUZZ_CHECK(back && same(*back, bytes));
    auto url_back = base64url_decode(base64url_encode(bytes));
    FUZZ_CHECK(url_back && same(*url_back, bytes));
    auto hex_back = hex_decode(hex_encode(bytes));
    FUZZ_CHECK(hex_back && same(*hex_back, bytes));
    return 0;
}
