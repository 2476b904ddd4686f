// libFuzzer harness for the HTTP response reader and the redirect resolver. The input's first
// byte picks the body cap and the second how the rest is split and whether the connection
// closes after it. Any bytes must leave the reader in a consistent state, the same whether
// they arrive at once or in pieces; the body never passes the cap. The same bytes read as a
// Location either fail or yield an https URL whose request target is printable ASCII.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "src/gate/http_response.h"
#include "src/gate/https_url.h"

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

}  // namespace

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
    check(whole.state() == pieces.state());
    check(whole.status() == pieces.status());
    check(whole.head_complete() == pieces.head_complete());
    check(whole.body() == pieces.body());
    // Past the cap, a body that runs until the close has the length seen when reading stopped,
    // which depends on how the bytes arrived.
    if (whole.state() != HttpResponseReader::State::oversize)
        check(whole.body_length() == pieces.body_length());
    check(whole.error() == pieces.error());
    check(whole.headers() == pieces.headers());

    check(whole.body().size() <= cap);
    switch (whole.state()) {
        case HttpResponseReader::State::complete:
            check(whole.head_complete());
            check(whole.body_length() == whole.body().size());
            break;
        case HttpResponseReader::State::oversize:
            check(whole.body().empty());
            check(whole.body_length() > cap);
            break;
        case HttpResponseReader::State::failed:
            check(!whole.error().empty());
            break;
        case HttpResponseReader::State::reading:
            check(!close);
            break;
    }
    if (close)
        check(whole.state() != HttpResponseReader::State::reading);

    static const HttpsUrl base = parse_https_url("https://vault.example:8443/a/gate?x").value();
    auto next = resolve_location(base, input);
    if (!next.is_error()) {
        const HttpsUrl& url = next.value();
        check(!url.host.empty());
        check(!url.target.empty() && url.target[0] == '/');
        for (char c : url.target) check(c > 0x20 && c < 0x7f);
        auto again = parse_https_url("https://" + url.authority() + url.target);
        check(!again.is_error() && again.value().target == url.target);
    }
    return 0;
}
