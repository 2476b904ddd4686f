// The program's HTTPS/1.1 client: one POST per call over a fresh TCP connection and TLS
// session (OpenSSL's libssl), redirects followed, the whole exchange bounded by one deadline.
// It exists so that a short-lived process pays for no more than libssl and libcrypto.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "src/gate/http_client.h"
#include "src/gate/http_response.h"
#include "src/gate/https_url.h"
#include "src/posix.h"

namespace tessarin {

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = BasicResult<HttpResponse, HttpError>;
using Done = BasicResult<void, HttpError>;

constexpr char k_system_cert_dir[] = "/etc/ssl/certs";
constexpr int k_max_redirects = 100;

struct SslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};
struct AddrinfoFree {
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using AddrinfoPtr = std::unique_ptr<addrinfo, AddrinfoFree>;

// An owned socket descriptor, closed on every path.
class Socket {
  public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    Socket(Socket&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }
    int get() const { return m_fd; }

  private:
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    int m_fd;
};

// The one deadline of a call: resolution, connection, handshake, and every read and write of
// every redirect hop share it.
class Deadline {
  public:
    explicit Deadline(std::chrono::milliseconds timeout)
        : m_timeout(timeout), m_start(Clock::now()), m_end(m_start + timeout) {}
    Clock::time_point end() const { return m_end; }
    bool expired() const { return Clock::now() >= m_end; }
    Clock::duration remaining() const {
        auto left = m_end - Clock::now();
        return left > Clock::duration::zero() ? left : Clock::duration::zero();
    }
    std::string timeout_ms() const { return std::to_string(m_timeout.count()); }
    std::string elapsed_ms() const {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
    }

  private:
    std::chrono::milliseconds m_timeout;
    Clock::time_point m_start;
    Clock::time_point m_end;
};

const char* env_path(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

bool is_directory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_ip_literal(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Waits until fd is ready for events; false once `until` has passed. A poll failure other
// than an interruption counts as ready, so the next socket call reports it.
bool wait_ready(int fd, short events, Clock::time_point until) {
    for (;;) {
        auto left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return false;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, 1 << 30)));
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return true;
    }
}

// Name resolution. A host name's lookup cannot be interrupted, so it runs on a thread of its
// own and the call stops waiting for it at the deadline; a late lookup then finishes alone
// and frees what it found.
struct Lookup {
    std::string host, port;
    addrinfo hints{};
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int rc = 0;
    addrinfo* list = nullptr;
    ~Lookup() {
        if (list)
            freeaddrinfo(list);
    }
};

void run_lookup(const std::shared_ptr<Lookup>& lookup) {
    addrinfo* list = nullptr;
    int rc = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &lookup->hints, &list);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->rc = rc;
    lookup->list = list;
    lookup->done = true;
    lookup->finished.notify_all();
}

BasicResult<AddrinfoPtr, HttpError> resolve(const HttpsUrl& url, const Deadline& deadline) {
    auto lookup = std::make_shared<Lookup>();
    lookup->host = url.host;
    lookup->port = std::to_string(url.port);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    lookup->hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const HttpError unresolved{"Could not resolve host: " + url.host};

    // An address needs neither a lookup nor a thread.
    addrinfo* numeric = nullptr;
    if (getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &lookup->hints, &numeric) == 0)
        return AddrinfoPtr(numeric);
    if (url.bracketed)
        return unresolved;
    lookup->hints.ai_flags = AI_NUMERICSERV;
    try {
        std::thread([lookup] { run_lookup(lookup); }).detach();
    } catch (const std::system_error&) {
        run_lookup(lookup);  // no thread to be had: resolve here, without the deadline
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->finished.wait_until(lock, deadline.end(), [&] { return lookup->done; }))
        return HttpError{"Resolving timed out after " + deadline.timeout_ms() + " milliseconds"};
    if (lookup->rc != 0 || !lookup->list)
        return unresolved;
    return AddrinfoPtr(std::exchange(lookup->list, nullptr));
}

// A TCP connection to the first address that answers, tried in the resolver's order.
BasicResult<Socket, HttpError> connect_any(const addrinfo* list, const HttpsUrl& url,
                                           const Deadline& deadline) {
    size_t count = 0;
    for (const addrinfo* a = list; a; a = a->ai_next) ++count;
    int last_error = ECONNREFUSED;
    size_t index = 0;
    for (const addrinfo* a = list; a && !deadline.expired(); a = a->ai_next, ++index) {
        Socket s(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (s.get() < 0) {
            last_error = errno;
            continue;
        }
        int one = 1;
#ifdef SO_NOSIGPIPE
        ::setsockopt(s.get(), SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
        ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(s.get(), a->ai_addr, a->ai_addrlen) == 0)
            return s;
        if (errno != EINPROGRESS) {
            last_error = errno;
            continue;
        }
        // Each address left gets an equal share of the time left, so one silent address
        // cannot use it all.
        auto share = deadline.remaining() / static_cast<long>(count - index);
        if (!wait_ready(s.get(), POLLOUT, Clock::now() + share)) {
            last_error = ETIMEDOUT;
            continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error == 0)
            return s;
        last_error = error;
    }
    if (deadline.expired())
        return HttpError{"Connection timed out after " + deadline.timeout_ms() + " milliseconds"};
    return HttpError{"Failed to connect to " + url.host + " port " + std::to_string(url.port) +
                     " after " + deadline.elapsed_ms() + " ms: " + error_text(last_error)};
}

// The outcome of one TLS call driven through the socket's readiness until it completes.
struct SslStep {
    bool ok = false;
    bool timed_out = false;
    int error = SSL_ERROR_NONE;  // SSL_get_error's verdict when not ok
    int saved_errno = 0;
};

template <typename Call>
SslStep drive(SSL* ssl, int fd, const Deadline& deadline, Call call) {
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
        if (!wait_ready(fd, events, deadline.end())) {
            step.timed_out = true;
            return step;
        }
    }
}

// Why a TLS call failed: the library's first error, else the system's.
std::string describe(const SslStep& step) {
    if (unsigned long e = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        return text;
    }
    if (step.error == SSL_ERROR_SYSCALL && step.saved_errno != 0)
        return error_text(step.saved_errno);
    if (step.error == SSL_ERROR_SYSCALL || step.error == SSL_ERROR_ZERO_RETURN)
        return "connection closed by the server";
    return "SSL error " + std::to_string(step.error);
}

HttpError timed_out(const Deadline& deadline, size_t received) {
    return HttpError{"Operation timed out after " + deadline.timeout_ms() + " milliseconds with " +
                     std::to_string(received) + " bytes received"};
}

// Parsing a whole CA bundle costs tens of milliseconds per request; the system's hashed
// directory is read lazily, one certificate per issuer. So: SSL_CERT_FILE and SSL_CERT_DIR
// when set, else /etc/ssl/certs, else the library's default.
Done set_trust_store(SSL_CTX* ctx) {
    const char* file = env_path("SSL_CERT_FILE");
    const char* dir = env_path("SSL_CERT_DIR");
    if (!file && !dir && is_directory(k_system_cert_dir))
        dir = k_system_cert_dir;
    if (!file && !dir) {
        SSL_CTX_set_default_verify_paths(ctx);
        return {};
    }
    if (SSL_CTX_load_verify_locations(ctx, file, dir) != 1)
        return HttpError{std::string("error setting certificate verify locations: CAfile: ") +
                         (file ? file : "none") + " CApath: " + (dir ? dir : "none")};
    return {};
}

BasicResult<SslCtxPtr, HttpError> make_context() {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return HttpError{"could not set up TLS: " + describe(SslStep{})};
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // A close without close_notify ends the stream like any other close: the response's own
    // framing (Content-Length, chunked) tells a complete body from one cut short.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    auto store = set_trust_store(ctx.get());
    if (store.is_error())
        return store.release_error();
    return ctx;
}

bool is_followed_redirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The Location of a redirect this client follows, or nothing.
std::optional<std::string_view> redirect_location(const HttpResponseReader& reader) {
    if (reader.state() == HttpResponseReader::State::failed || !reader.head_complete() ||
        !is_followed_redirect(reader.status()))
        return std::nullopt;
    auto location = reader.header("location");
    if (!location || location->empty())
        return std::nullopt;
    return location;
}

std::string request_head(const HttpsUrl& url, std::string_view content_type, size_t length) {
    std::string head = "POST " + url.target + " HTTP/1.1\r\n";
    head += "Host: " + url.authority() + "\r\n";
    head += "Content-Type: ";
    head.append(content_type);
    head += "\r\nContent-Length: " + std::to_string(length) + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

// One request and its response over a connection of its own. Reading stops at the end of
// the response, at the cap, or once the head of a redirect is in.
Done exchange(SSL_CTX* ctx, const HttpsUrl& url, std::string_view content_type,
              std::string_view body, const Deadline& deadline, HttpResponseReader& reader) {
    auto addresses = resolve(url, deadline);
    if (addresses.is_error())
        return addresses.release_error();
    auto connected = connect_any(addresses.value().get(), url, deadline);
    if (connected.is_error())
        return connected.release_error();
    const Socket connection = connected.release_value();
    const int fd = connection.get();

    SslPtr ssl(SSL_new(ctx));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1)
        return HttpError{"could not set up TLS: " + describe(SslStep{})};
    // The certificate must name the host: a DNS name (also sent as the server name) or the
    // IP address the URL gives.
    bool named =
        is_ip_literal(url.host)
            ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), url.host.c_str()) == 1
            : SSL_set_tlsext_host_name(ssl.get(), url.host.c_str()) == 1 &&
                  SSL_set1_host(ssl.get(), url.host.c_str()) == 1;
    if (!named)
        return HttpError{"could not set up TLS: " + describe(SslStep{})};
    SSL_set_hostflags(ssl.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);

    SslStep step = drive(ssl.get(), fd, deadline, [&] { return SSL_connect(ssl.get()); });
    if (step.timed_out)
        return timed_out(deadline, 0);
    if (!step.ok) {
        long verdict = SSL_get_verify_result(ssl.get());
        if (verdict != X509_V_OK)
            return HttpError{std::string("SSL certificate problem: ") +
                             X509_verify_cert_error_string(verdict)};
        return HttpError{"OpenSSL SSL_connect: " + describe(step) + " in connection to " +
                         url.host + ":" + std::to_string(url.port)};
    }

    std::string request = request_head(url, content_type, body.size());
    request.append(body);
    size_t sent = 0;
    while (sent < request.size()) {
        size_t n = 0;
        step = drive(ssl.get(), fd, deadline, [&] {
            return SSL_write_ex(ssl.get(), request.data() + sent, request.size() - sent, &n);
        });
        if (step.timed_out)
            return timed_out(deadline, 0);
        if (!step.ok)
            return HttpError{"Send failure: " + describe(step)};
        sent += n;
    }

    char buffer[16384];
    while (reader.state() == HttpResponseReader::State::reading && !redirect_location(reader)) {
        size_t n = 0;
        step = drive(ssl.get(), fd, deadline,
                     [&] { return SSL_read_ex(ssl.get(), buffer, sizeof buffer, &n); });
        if (step.timed_out)
            return timed_out(deadline, reader.body_length());
        if (step.ok) {
            reader.feed(std::string_view(buffer, n));
        } else if (step.error == SSL_ERROR_ZERO_RETURN ||
                   (step.error == SSL_ERROR_SYSCALL && step.saved_errno == 0 &&
                    ERR_peek_error() == 0)) {
            reader.finish();
        } else {
            return HttpError{"Recv failure: " + describe(step)};
        }
    }
    return {};
}

class HttpsClient final : public HttpClient {
  public:
    Outcome post(const std::string& url_text, std::string_view content_type, std::string_view body,
                 std::chrono::milliseconds timeout, size_t max_body) override {
        const Deadline deadline(timeout);
        for (char c : content_type)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return HttpError{"invalid Content-Type"};
        auto parsed = parse_https_url(url_text);
        if (parsed.is_error())
            return HttpError{parsed.error().message};
        HttpsUrl url = parsed.release_value();
        // One TLS context per call (a process makes a few): nothing is set up before a
        // command needs the network.
        auto ctx = make_context();
        if (ctx.is_error())
            return ctx.release_error();

        for (int redirects = 0;; ++redirects) {
            HttpResponseReader reader(max_body);
            auto done = exchange(ctx.value().get(), url, content_type, body, deadline, reader);
            ERR_clear_error();
            if (done.is_error())
                return done.release_error();
            if (auto location = redirect_location(reader)) {
                // The POST and its body go to the new location as they are; never to
                // anything but https.
                if (redirects == k_max_redirects)
                    return HttpError{"Maximum (" + std::to_string(k_max_redirects) +
                                     ") redirects followed"};
                auto next = resolve_location(url, *location);
                if (next.is_error())
                    return HttpError{next.error().message};
                url = next.release_value();
                continue;
            }
            HttpResponse response;
            response.status = reader.status();
            switch (reader.state()) {
                case HttpResponseReader::State::complete:
                    response.body = reader.take_body();
                    response.body_length = response.body.size();
                    return response;
                case HttpResponseReader::State::oversize:
                    response.oversize = true;
                    response.body_length = reader.body_length();
                    return response;
                default:
                    return HttpError{reader.error()};
            }
        }
    }
};

}  // namespace

std::unique_ptr<HttpClient> make_https_client() {
    return std::make_unique<HttpsClient>();
}

}  // namespace tessarin
