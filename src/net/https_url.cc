#include "src/net/https_url.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "src/base/text.h"

namespace tessarin {

namespace {

constexpr std::string_view k_bad_url = "URL using bad/illegal format or missing URL";
constexpr std::string_view k_bad_location = "Invalid redirect location";
constexpr size_t k_max_scheme = 32;
constexpr size_t k_max_host = 253;

UrlError bad_url() {
    return UrlError{std::string(k_bad_url)};
}

bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_scheme_char(char c) {
    return is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.';
}

bool is_host_char(char c) {
    return is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Printable ASCII without the space: what a request target may hold.
bool is_target_char(char c) {
    return c > 0x20 && c < 0x7f;
}

// The scheme of a URL or reference ("https" of "https://..."), or empty when it has none.
std::string_view scheme_of(std::string_view s) {
    if (s.empty() || !is_alpha(s[0]))
        return {};
    size_t i = 1;
    while (i < s.size() && is_scheme_char(s[i])) ++i;
    if (i == s.size() || s[i] != ':')
        return {};
    return s.substr(0, i);
}

// Removes "." and ".." segments from a path (RFC 3986, 5.2.4).
std::string remove_dot_segments(std::string_view input) {
    std::string output;
    auto drop_last_segment = [&output] {
        size_t slash = output.rfind('/');
        output.erase(slash == std::string::npos ? 0 : slash);
    };
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../") {
            input.remove_prefix(3);
            drop_last_segment();
        } else if (input == "/..") {
            input = "/";
            drop_last_segment();
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            size_t next = input.find('/', input[0] == '/' ? 1 : 0);
            output.append(input.substr(0, next));
            input.remove_prefix(next == std::string_view::npos ? input.size() : next);
        }
    }
    return output;
}

std::string normalise_target(std::string_view target) {
    size_t query = target.find('?');
    std::string path = remove_dot_segments(target.substr(0, query));
    if (path.empty() || path[0] != '/')
        path.insert(path.begin(), '/');
    if (query != std::string_view::npos)
        path.append(target.substr(query));
    return path;
}

constexpr std::string_view k_bad_port = "Port number was not a decimal number between 0 and 65535";

// A port of one to five decimal digits, 1 to 65535.
BasicResult<uint16_t, UrlError> read_port(std::string_view port) {
    unsigned value = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.size() > 5 || error != std::errc() || end != port.data() + port.size() || value == 0 ||
        value > 65535)
        return UrlError{std::string(k_bad_port)};
    return static_cast<uint16_t>(value);
}

// The host (a name, an IPv4 address or a bracketed IPv6 address) and the optional port of an
// authority without user information.
BasicResult<void, UrlError> read_authority(std::string_view authority, HttpsUrl& out) {
    std::string_view host;
    std::optional<std::string_view> port;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return bad_url();
        host = authority.substr(1, close - 1);
        if (host.empty() || !std::all_of(host.begin(), host.end(),
                                         [](char c) { return is_hex(c) || c == ':' || c == '.'; }))
            return bad_url();
        out.bracketed = true;
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':')
                return bad_url();
            port = after.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos)
            port = authority.substr(colon + 1);
        if (host.empty() || host.size() > k_max_host ||
            !std::all_of(host.begin(), host.end(), is_host_char))
            return bad_url();
    }
    if (port && !port->empty())
        out.port = TRY(read_port(*port));
    out.host = std::string(host);
    return {};
}

}  // namespace

std::string HttpsUrl::authority() const {
    std::string out;
    if (bracketed)
        out.append("[").append(host).append("]");
    else
        out.append(host);
    if (port != 443)
        out.append(":").append(std::to_string(port));
    return out;
}

BasicResult<HttpsUrl, UrlError> parse_https_url(std::string_view url) {
    std::string_view scheme = scheme_of(url);
    if (scheme.empty())
        return bad_url();
    if (!equal_ignoring_ascii_case(scheme, "https")) {
        if (scheme.size() > k_max_scheme)
            return bad_url();
        return UrlError{"Protocol \"" + std::string(scheme) + "\" not supported"};
    }
    url.remove_prefix(scheme.size() + 1);
    if (url.substr(0, 2) != "//")
        return bad_url();
    url.remove_prefix(2);

    size_t end = url.find_first_of("/?#");
    std::string_view authority = url.substr(0, end);
    std::string_view rest = end == std::string_view::npos ? std::string_view() : url.substr(end);
    if (authority.find('@') != std::string_view::npos)
        return UrlError{"Credentials in the URL are not supported"};

    HttpsUrl out;
    TRY(read_authority(authority, out));

    rest = rest.substr(0, rest.find('#'));
    if (!std::all_of(rest.begin(), rest.end(), is_target_char))
        return bad_url();
    out.target = rest.empty() || rest[0] != '/' ? "/" + std::string(rest) : std::string(rest);
    return out;
}

BasicResult<HttpsUrl, UrlError> resolve_location(const HttpsUrl& base, std::string_view location) {
    while (!location.empty() && (location.front() == ' ' || location.front() == '\t'))
        location.remove_prefix(1);
    while (!location.empty() && (location.back() == ' ' || location.back() == '\t'))
        location.remove_suffix(1);
    std::string ref;
    for (char c : location) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            return UrlError{std::string(k_bad_location)};
        if (u == ' ' || u >= 0x80) {
            constexpr char digits[] = "0123456789ABCDEF";
            ref += '%';
            ref += digits[u >> 4];
            ref += digits[u & 15];
        } else {
            ref += c;
        }
    }
    ref.erase(std::min(ref.size(), ref.find('#')));
    if (ref.empty())
        return UrlError{std::string(k_bad_location)};

    std::string target;
    if (!scheme_of(ref).empty() || ref.substr(0, 2) == "//") {
        auto url = parse_https_url(ref.substr(0, 2) == "//" ? "https:" + ref : ref);
        if (url.is_error())
            return url;
        url.value().target = normalise_target(url.value().target);
        return url;
    }
    const std::string_view base_path =
        std::string_view(base.target).substr(0, base.target.find('?'));
    if (ref[0] == '/')
        target = ref;
    else if (ref[0] == '?')
        target = std::string(base_path) + ref;
    else
        target = std::string(base_path.substr(0, base_path.rfind('/') + 1)) + ref;
    auto url = parse_https_url("https://" + base.authority() + normalise_target(target));
    if (url.is_error())
        return UrlError{std::string(k_bad_location)};
    return url;
}

}  // namespace tessarin
