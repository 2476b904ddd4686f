#include "src/net/https_url.h"

#include <gtest/gtest.h>

#include <chrono>

#include "src/net/https_client.h"

namespace tessarin {
namespace {

// "host|bracketed|port|target" or "error: <message>".
std::string show(const BasicResult<HttpsUrl, UrlError>& r) {
    if (r.is_error())
        return "error: " + r.error().message;
    const HttpsUrl& u = r.value();
    return u.host + "|" + (u.bracketed ? "[]" : "") + "|" + std::to_string(u.port) + "|" + u.target;
}

TEST(HttpsUrl, Parse) {
    const std::string bad = "error: URL using bad/illegal format or missing URL";
    const std::string bad_port = "error: Port number was not a decimal number between 0 and 65535";
    struct {
        const char* url;
        std::string expected;
    } cases[] = {
        {"https://vault.example/gate", "vault.example||443|/gate"},
        {"HTTPS://vault.example:8443/gate?x=1#frag", "vault.example||8443|/gate?x=1"},
        {"https://127.0.0.1:4443", "127.0.0.1||4443|/"},
        {"https://vault.example?q", "vault.example||443|/?q"},
        {"https://[::1]:4443/gate", "::1|[]|4443|/gate"},
        {"https://[2001:db8::1]/", "2001:db8::1|[]|443|/"},
        {"https://vault.example:/gate", "vault.example||443|/gate"},
        {"http://vault.example/gate", "error: Protocol \"http\" not supported"},
        {"ftp://vault.example/", "error: Protocol \"ftp\" not supported"},
        {"vault.example/gate", bad},
        {"https:vault.example/gate", bad},
        {"https:///gate", bad},
        {"https://vault example/gate", bad},
        {"https://vault.example/ga te", bad},
        {"https://vault.example/gate\r\nX: y", bad},
        {"https://[::1/gate", bad},
        {"https://[fe80::1%25eth0]/", bad},
        {"https://user:pw@vault.example/", "error: Credentials in the URL are not supported"},
        {"https://vault.example:0/", bad_port},
        {"https://vault.example:65536/", bad_port},
        {"https://vault.example:44a/", bad_port},
        {"https://vault.example:-1/", bad_port},
    };
    for (const auto& c : cases) EXPECT_EQ(show(parse_https_url(c.url)), c.expected) << c.url;
}

TEST(HttpsUrl, Authority) {
    EXPECT_EQ(parse_https_url("https://h.example/").value().authority(), "h.example");
    EXPECT_EQ(parse_https_url("https://h.example:443/").value().authority(), "h.example");
    EXPECT_EQ(parse_https_url("https://h.example:8443/").value().authority(), "h.example:8443");
    EXPECT_EQ(parse_https_url("https://[::1]:8443/").value().authority(), "[::1]:8443");
}

TEST(HttpsUrl, ResolveLocation) {
    const HttpsUrl base = parse_https_url("https://vault.example:8443/a/b/gate?x=1").value();
    struct {
        const char* location;
        std::string expected;
    } cases[] = {
        {"/gate", "vault.example||8443|/gate"},
        {"  /gate  ", "vault.example||8443|/gate"},
        {"other", "vault.example||8443|/a/b/other"},
        {"../other?y", "vault.example||8443|/a/other?y"},
        {"../../../../x", "vault.example||8443|/x"},
        {"./c/./d/../e", "vault.example||8443|/a/b/c/e"},
        {"?y=2", "vault.example||8443|/a/b/gate?y=2"},
        {"/gate#part", "vault.example||8443|/gate"},
        {"/with space/\xc3\xa9", "vault.example||8443|/with%20space/%C3%A9"},
        {"//replica.example/gate", "replica.example||443|/gate"},
        {"https://replica.example:9443/x/../gate", "replica.example||9443|/gate"},
        {"HTTPS://[::1]:9443/gate", "::1|[]|9443|/gate"},
        // Never a downgrade, never another scheme.
        {"http://vault.example:8443/gate", "error: Protocol \"http\" not supported"},
        {"HTTP://vault.example/gate", "error: Protocol \"HTTP\" not supported"},
        {"javascript:alert(1)", "error: Protocol \"javascript\" not supported"},
        {"/gate\r\nX-Injected: 1", "error: Invalid redirect location"},
        {"/gate\x01", "error: Invalid redirect location"},
        {"", "error: Invalid redirect location"},
        {"#only", "error: Invalid redirect location"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(show(resolve_location(base, c.location)), c.expected) << c.location;
}

TEST(HttpsClient, RefusesWhatItCannotSendBeforeTheNetwork) {
    // These fail before any name is resolved or connection made.
    auto client = make_https_client();
    const std::chrono::milliseconds timeout(1000);
    struct {
        const char* url;
        const char* content_type;
        const char* message;
    } cases[] = {
        {"http://127.0.0.1:1/gate", "text/plain", "Protocol \"http\" not supported"},
        {"127.0.0.1/gate", "text/plain", "URL using bad/illegal format or missing URL"},
        {"https://127.0.0.1:1/gate", "text/plain\r\nX-Injected: 1", "invalid Content-Type"},
    };
    for (const auto& c : cases) {
        auto r = client->post(c.url, c.content_type, "body", timeout, 100);
        ASSERT_TRUE(r.is_error()) << c.url;
        EXPECT_EQ(r.error().message, c.message);
    }
}

}  // namespace
}  // namespace tessarin
