#include "src/net/tls_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessarin {

namespace {

using Done = BasicResult<void, HttpError>;

bool is_ip_literal(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// The outcome of one TLS call driven through the socket's readiness until it completes.
struct SslStep {
    bool ok = false;
    bool timed_out = false;
    bool stopped = false;
    int error = SSL_ERROR_NONE;  // SSL_get_error's verdict when not ok
    int saved_errno = 0;
    std::optional<HttpError> idle_error;  // the failure of the work done while waiting
};

struct NoIdleWork {
    Done operator()() const { return {}; }
};

// Runs call until it completes, waiting for the socket in between. idle() runs once, at the
// first wait, while the peer is busy with what call has sent; its failure ends the call.
template <typename Call, typename Idle = NoIdleWork>
SslStep drive(SSL* ssl, int fd, const Deadline& deadline, Call call, Idle idle = {}) {
    bool idle_done = false;
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int rc = call();
        if (rc > 0)
            return SslStep{true};
        SslStep step;
        step.saved_errno = errno;
        step.error = SSL_get_error(ssl, rc);
        short events = step.error == SSL_ERROR_WANT_READ    ? POLLIN
                       : step.error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                            : 0;
        if (!events)
            return step;
        if (!idle_done) {
            idle_done = true;
            auto done = idle();
            if (done.is_error()) {
                step.idle_error = done.release_error();
                return step;
            }
        }
        switch (wait_ready(fd, events, deadline.end(), deadline)) {
            case Wait::ready:
                break;
            case Wait::timed_out:
                step.timed_out = true;
                return step;
            case Wait::stopped:
                step.stopped = true;
                return step;
        }
    }
}

std::string describe(const SslStep& step) {
    return describe_tls_failure(step.error, step.saved_errno);
}

HttpError timed_out(const Deadline& deadline, size_t received, bool sent) {
    return HttpError{"Operation timed out after " + deadline.timeout_ms() + " milliseconds with " +
                         std::to_string(received) + " bytes received",
                     sent};
}

HttpError stopped(bool sent) {
    return HttpError{"request stopped", sent, true};
}

// Names the host the certificate must name: a DNS name (also sent as the server name) or the
// IP address the URL gives.
bool name_host(SSL* ssl, const std::string& host) {
    bool named = is_ip_literal(host)
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1
                     : SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
                           SSL_set1_host(ssl, host.c_str()) == 1;
    if (named)
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return named;
}

// The handshake's failure as the client reports it.
HttpError handshake_failure(SSL* ssl, const SslStep& step, const HttpsUrl& url) {
    long verdict = SSL_get_verify_result(ssl);
    if (verdict != X509_V_OK)
        // Which host was checked against which store: what a user needs to put it right.
        return HttpError{std::string("SSL certificate problem: ") +
                         X509_verify_cert_error_string(verdict) + " (host " + url.host +
                         ", trust store " + trust_store_name() + ")"};
    return HttpError{"OpenSSL SSL_connect: " + describe(step) + " in connection to " + url.host +
                     ":" + std::to_string(url.port)};
}

}  // namespace

namespace {

// Whether fd's peer is address.
bool is_peer(int fd, const SocketAddress& address) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.ss_family != address.address.ss_family)
        return false;
    if (peer.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(peer);
        const auto& b = reinterpret_cast<const sockaddr_in&>(address.address);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    if (peer.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(peer);
        const auto& b = reinterpret_cast<const sockaddr_in6&>(address.address);
        return a.sin6_port == b.sin6_port &&
               std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
    }
    return false;
}

}  // namespace

BasicResult<Connection, HttpError> open_connection(TlsContext& tls, Resolver& resolver,
                                                   const HttpsUrl& url, const Deadline& deadline,
                                                   const std::function<bool()>& on_stall,
                                                   ConnectTimes* times) {
    SSL_CTX* ctx = TRY(tls.get());
    std::vector<SocketAddress> left = TRY(resolver.resolve(url, deadline));
    for (;;) {
        Connection c{TRY(connect_first(left, url, deadline, k_attempt_delay, on_stall, times)),
                     SslPtr(SSL_new(ctx))};
        const int fd = c.socket.get();
        // An address not found among those left (never expected) leaves none to race.
        if (std::erase_if(left, [fd](const SocketAddress& a) { return is_peer(fd, a); }) == 0)
            left.clear();
        SSL* ssl = c.ssl.get();
        if (!ssl || SSL_set_fd(ssl, fd) != 1 || !name_host(ssl, url.host))
            return HttpError{"could not set up TLS: " + describe_tls_failure()};

        // In steps of the stall limit: a stall lets the next address take this one's place, or,
        // with none left, the handshake goes on to the request's deadline, each further stall
        // told as well (the connections it waits behind may be this command's own idle ones).
        auto within_stall_limit = [&] {
            const auto left_ms =
                std::chrono::ceil<std::chrono::milliseconds>(deadline.end() - Clock::now());
            return Deadline(std::clamp(left_ms, std::chrono::milliseconds(0), k_handshake_stall),
                            deadline.stop());
        };
        auto handshake = [&] { return SSL_connect(ssl); };
        SslStep step =
            drive(ssl, fd, within_stall_limit(), handshake, [&] { return tls.load_trust_store(); });
        bool raced = false;
        while (step.timed_out && !deadline.expired()) {
            if (on_stall)
                on_stall();
            if (!left.empty()) {
                raced = true;
                break;
            }
            step = drive(ssl, fd, within_stall_limit(), handshake);
        }
        if (raced)
            continue;
        if (step.idle_error)
            return std::move(*step.idle_error);
        if (auto error = tls.load_error())
            return std::move(*error);
        if (step.stopped)
            return stopped(false);
        if (step.timed_out)
            return timed_out(deadline, 0, false);
        if (!step.ok)
            return handshake_failure(ssl, step, url);
        return c;
    }
}

// What TLS 1.3 servers send after the handshake (session tickets) is read and dropped here; it
// carries no data.
bool went_stale(const Connection& c) {
    SSL* ssl = c.ssl.get();
    for (;;) {
        pollfd p{c.socket.get(), POLLIN, 0};
        if (SSL_pending(ssl) == 0 && ::poll(&p, 1, 0) == 0)
            return false;
        char byte;
        size_t n = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl, &byte, 1, &n) == 1)
            return true;  // data before a request: not a server to send one to
        if (SSL_get_error(ssl, 0) != SSL_ERROR_WANT_READ)
            return true;  // closed, or broken
    }
}

Done write_all(Connection& c, std::string_view bytes, const Deadline& deadline) {
    SSL* ssl = c.ssl.get();
    size_t sent = 0;
    while (sent < bytes.size()) {
        size_t n = 0;
        SslStep step = drive(ssl, c.socket.get(), deadline, [&] {
            return SSL_write_ex(ssl, bytes.data() + sent, bytes.size() - sent, &n);
        });
        if (step.stopped)
            return stopped(true);
        if (step.timed_out)
            return timed_out(deadline, 0, true);
        if (!step.ok)
            return HttpError{"Send failure: " + describe(step), true};
        sent += n;
    }
    return {};
}

Done read_response(Connection& c, const Deadline& deadline, HttpResponseReader& reader,
                   const std::function<bool(const HttpResponseReader&)>& enough) {
    SSL* ssl = c.ssl.get();
    char buffer[16384];
    while (reader.state() == HttpResponseReader::State::reading && !enough(reader)) {
        size_t n = 0;
        SslStep step = drive(ssl, c.socket.get(), deadline,
                             [&] { return SSL_read_ex(ssl, buffer, sizeof buffer, &n); });
        if (step.stopped)
            return stopped(true);
        if (step.timed_out)
            return timed_out(deadline, reader.body_length(), true);
        if (step.ok) {
            reader.feed(std::string_view(buffer, n));
        } else if (step.error == SSL_ERROR_ZERO_RETURN ||
                   (step.error == SSL_ERROR_SYSCALL && step.saved_errno == 0 &&
                    ERR_peek_error() == 0)) {
            reader.finish();
        } else {
            return HttpError{"Recv failure: " + describe(step), true};
        }
    }
    return {};
}

}  // namespace tessarin
