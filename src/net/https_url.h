// https URLs as the HTTP client uses them: "https://host[:port][/path][?query]" with a host
// name, an IPv4 address or a bracketed IPv6 address, and the resolution of a redirect's
// Location against the URL it came from. Every other scheme is refused, so a redirect can
// never lead to plain http.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/core/result.h"

namespace tessarin {

struct HttpsUrl {
    std::string host;  // without the brackets of an IPv6 address
    bool bracketed = false;
    uint16_t port = 443;
    std::string target;  // path and query: "/" at least; the fragment is dropped

    // host[:port] as the Host header and error texts name it (the port only when not 443).
    std::string authority() const;
};

// The failure text of a URL the client refuses.
struct UrlError {
    std::string message;
};

BasicResult<HttpsUrl, UrlError> parse_https_url(std::string_view url);

// The URL a Location header leads to from base: absolute ("https://..."), scheme-relative
// ("//host/path"), absolute path, query or relative path, with "." and ".." segments removed.
// Spaces and non-ASCII bytes are percent-encoded; other control characters are refused.
BasicResult<HttpsUrl, UrlError> resolve_location(const HttpsUrl& base, std::string_view location);

}  // namespace tessarin
