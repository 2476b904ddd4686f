// libFuzzer harness for https URL parsing and redirect resolution. The first byte picks the
// base URL a Location is resolved against; the rest is read both as a URL and as a Location.
// Whatever is accepted is an https URL with a host, a port and a request target of printable
// ASCII without spaces (nothing that could split a request line or a header), which reads back
// to itself from its own text. A resolved Location has no dot segments left, resolves to itself
// again, and a relative one never leaves the base's host and port.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "src/net/https_url.h"

namespace {

using tessarin::HttpsUrl;
using tessarin::fuzz::Input;

bool same(const HttpsUrl& a, const HttpsUrl& b) {
    return a.host == b.host && a.bracketed == b.bracketed && a.port == b.port &&
           a.target == b.target;
}

bool is_target_char(char c) {
    return c > 0x20 && c < 0x7f;
}

std::string text_of(const HttpsUrl& url) {
    return "https://" + url.authority() + url.target;
}

// What every accepted URL satisfies.
void check_url(const HttpsUrl& url) {
    FUZZ_CHECK(!url.host.empty());
    FUZZ_CHECK(url.port != 0);
    FUZZ_CHECK(!url.target.empty() && url.target[0] == '/');
    for (char c : url.target) FUZZ_CHECK(is_target_char(c));
    FUZZ_CHECK(url.target.find('#') == std::string::npos);
    for (char c : url.host) FUZZ_CHECK(is_target_char(c) && c != '/' && c != '@' && c != '[');
    auto again = tessarin::parse_https_url(text_of(url));
    FUZZ_CHECK(!again.is_error());
    FUZZ_CHECK(same(again.value(), url));
}

// The path of a resolved target: no "." or ".." segment survives resolution.
void check_no_dot_segments(const std::string& target) {
    const std::string_view path = std::string_view(target).substr(0, target.find('?'));
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view segment = path.substr(start, end - start);
        FUZZ_CHECK(segment != "." && segment != "..");
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const bases[] = {
        "https://vault.example:8443/a/b/gate?x=1",
        "https://vault.example/gate",
        "https://[2001:db8::1]:9443/",
        "https://127.0.0.1/a/../b/./c?q#f",
    };
    Input input(data, size);
    const std::string_view base_text = bases[input.byte() % std::size(bases)];
    const HttpsUrl base = tessarin::parse_https_url(base_text).value();
    const std::string_view text = input.rest();

    auto url = tessarin::parse_https_url(text);
    if (url.is_error())
        FUZZ_CHECK(!url.error().message.empty());
    else
        check_url(url.value());

    auto next = tessarin::resolve_location(base, text);
    if (next.is_error()) {
        FUZZ_CHECK(!next.error().message.empty());
        return 0;
    }
    const HttpsUrl& to = next.value();
    check_url(to);
    check_no_dot_segments(to.target);

    // Resolution is idempotent: the result's own target, and its absolute text, lead to it.
    // (A target that starts with "//" is a path with an empty first segment on the request
    // line, but would name a host as a Location.)
    if (to.target.substr(0, 2) != "//") {
        auto by_target = tessarin::resolve_location(to, to.target);
        FUZZ_CHECK(!by_target.is_error() && same(by_target.value(), to));
    }
    auto by_text = tessarin::resolve_location(base, text_of(to));
    FUZZ_CHECK(!by_text.is_error() && same(by_text.value(), to));

    // Only a Location with a scheme or an authority of its own can change host or port.
    size_t lead = 0;
    while (lead < text.size() && (text[lead] == ' ' || text[lead] == '\t')) ++lead;
    const std::string_view trimmed = text.substr(lead);
    const bool has_authority =
        trimmed.substr(0, 2) == "//" || trimmed.find(':') < trimmed.find_first_of("/?#");
    if (!has_authority)
        FUZZ_CHECK(to.host == base.host && to.port == base.port && to.bracketed == base.bracketed);
    return 0;
}
