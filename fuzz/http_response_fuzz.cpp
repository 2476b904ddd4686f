// libFuzzer harness for the HTTP response reader and the redirect resolver. The input's first
// byte picks the body cap and the second how the rest is split and whether the connection
// closes after it. Any bytes must leave the reader in a consistent state, the same whether
// they arrive at once or in pieces; the body never passes the cap. The same bytes read as a
// Location either fail or yield an https URL whose request target is printable ASCII.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "src/net/http_response.h"
#include "src/net/https_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessarin;
    if (size < 2)
        return 0;
    const size_t cap = static_cast<size_t>(data[0]) * 4;
    const size_t step = (data[1] & 0x3f) + 1;
    const bool close = (data[1] & 0x80) != 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

    HttpResponseReader whole(cap), pieces(cap);
    whole.feed(input);
    for (size_t i = 0; i < input.size(); i += step) pieces.feed(input.substr(i, step));
    if (close) {
        whole.finish();
        pieces.finish();
    }
    FUZZ_CHECK(whole.state() == pieces.state());
    FUZZ_CHECK(whole.status() == pieces.status());
    FUZZ_CHECK(whole.head_complete() == pieces.head_complete());
    FUZZ_CHECK(whole.body() == pieces.body());
    // Past the cap, a body that runs until the close has the length seen when reading stopped,
    // which depends on how the bytes arrived.
    if (whole.state() != HttpResponseReader::State::oversize)
        FUZZ_CHECK(whole.body_length() == pieces.body_length());
    FUZZ_CHECK(whole.error() == pieces.error());
    FUZZ_CHECK(whole.headers() == pieces.headers());

    FUZZ_CHECK(whole.body().size() <= cap);
    switch (whole.state()) {
        case HttpResponseReader::State::complete:
            FUZZ_CHECK(whole.head_complete());
            FUZZ_CHECK(whole.body_length() == whole.body().size());
            break;
        case HttpResponseReader::State::oversize:
            FUZZ_CHECK(whole.body().empty());
            FUZZ_CHECK(whole.body_length() > cap);
            break;
        case HttpResponseReader::State::failed:
            FUZZ_CHECK(!whole.error().empty());
            break;
        case HttpResponseReader::State::reading:
            FUZZ_CHECK(!close);
            break;
    }
    if (close)
        FUZZ_CHECK(whole.state() != HttpResponseReader::State::reading);

    static const HttpsUrl base = parse_https_url("https://vault.example:8443/a/gate?x").value();
    auto next = resolve_location(base, input);
    if (!next.is_error()) {
        const HttpsUrl& url = next.value();
        FUZZ_CHECK(!url.host.empty());
        FUZZ_CHECK(!url.target.empty() && url.target[0] == '/');
        for (char c : url.target) FUZZ_CHECK(c > 0x20 && c < 0x7f);
        auto again = parse_https_url("https://" + url.authority() + url.target);
        FUZZ_CHECK(!again.is_error() && again.value().target == url.target);
    }
    return 0;
}
