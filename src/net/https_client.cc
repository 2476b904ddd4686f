// The program's HTTPS/1.1 client: one POST per call over a TCP connection and TLS session of
// its own (OpenSSL's libssl), redirects followed, the whole exchange bounded by one deadline.
// It exists so that a short-lived process pays for no more than libssl and libcrypto.
//
// A command may post from several threads at once. What the calls share is set up once and
// guarded: the TLS context (with its trust store) and the resolved addresses. A connection is
// never shared: each call opens its own, or takes the one opened for it as a follow-up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "crypto/core/openssl_ptr.h"
#include "src/base/posix.h"
#include "src/net/deadline.h"
#include "src/net/http_client.h"
#include "src/net/http_response.h"
#include "src/net/https_url.h"
#include "src/net/tcp_connect.h"

namespace tessarin {

namespace {

using Outcome = BasicResult<HttpResponse, HttpError>;
using Done = BasicResult<void, HttpError>;

constexpr char k_system_cert_dir[] = "/etc/ssl/certs";
constexpr int k_max_redirects = 100;

using SslCtxPtr = OpensslPtr<SSL_CTX, SSL_CTX_free>;
using SslPtr = OpensslPtr<SSL, SSL_free>;

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

// The outcome of one TLS call driven through the socket's readiness until it completes.
struct SslStep {
    bool ok = false;
    bool timed_out = false;
    bool abandoned = false;
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
            case Wait::abandoned:
                step.abandoned = true;
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

HttpError timed_out(const Deadline& deadline, size_t received, bool sent) {
    return HttpError{"Operation timed out after " + deadline.timeout_ms() + " milliseconds with " +
                         std::to_string(received) + " bytes received",
                     sent};
}

HttpError abandoned(bool sent) {
    return HttpError{"request abandoned", sent, true};
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

// A context without its trust store yet (see TlsContext).
BasicResult<SslCtxPtr, HttpError> make_context() {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return HttpError{"could not set up TLS: " + describe(SslStep{})};
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // Every request has a TLS session of its own: nothing is kept for resumption.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    // A close without close_notify ends the stream like any other close: the response's own
    // framing (Content-Length, chunked) tells a complete body from one cut short.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    return ctx;
}

int verify_after_loading_trust(X509_STORE_CTX* store_ctx, void* arg);

// The client's one TLS context, made at its first request: nothing is set up before a command
// needs the network. Its trust store is read once, during the first handshake, while the gate
// works on its answer to the ClientHello: parsing a certificate file takes about as long.
// Should the answer be in before the client gets to it, the store is read when the gate's
// certificate is to be verified, which is the latest it can be. A context that has not read
// its store trusts nothing, so a slip here can only refuse a gate, never accept one.
class TlsContext {
  public:
    BasicResult<SSL_CTX*, HttpError> get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_ctx) {
            auto ctx = make_context();
            if (ctx.is_error())
                return ctx.release_error();
            m_ctx = ctx.release_value();
            SSL_CTX_set_cert_verify_callback(m_ctx.get(), verify_after_loading_trust, this);
        }
        return m_ctx.get();
    }

    // Reads the trust store, once for all requests; a failure stays the answer.
    Done load_trust_store() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_tried) {
            m_tried = true;
            auto loaded = set_trust_store(m_ctx.get());
            if (loaded.is_error())
                m_error = loaded.release_error();
        }
        if (m_error)
            return *m_error;
        return {};
    }

    // Why the store could not be read, once that is known.
    std::optional<HttpError> load_error() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_error;
    }

  private:
    std::mutex m_mutex;
    SslCtxPtr m_ctx;
    bool m_tried = false;
    std::optional<HttpError> m_error;
};

// The library's chain verification, after the trust store is read (arg: the TlsContext).
int verify_after_loading_trust(X509_STORE_CTX* store_ctx, void* arg) {
    if (static_cast<TlsContext*>(arg)->load_trust_store().is_error()) {
        X509_STORE_CTX_set_error(store_ctx, X509_V_ERR_UNSPECIFIED);
        return 0;
    }
    return X509_verify_cert(store_ctx);
}

// A TCP connection with its TLS session, verified, ready for one request.
struct Connection {
    UniqueFd socket;
    SslPtr ssl;
};

// Resolution, TCP and TLS. Nothing of a request has been sent when this fails.
BasicResult<Connection, HttpError> open_connection(TlsContext& tls, Resolver& resolver,
                                                   const HttpsUrl& url, const Deadline& deadline) {
    SSL_CTX* ctx = TRY(tls.get());
    auto addresses = TRY(resolver.resolve(url, deadline));
    Connection c{TRY(connect_first(addresses, url, deadline)), SslPtr(SSL_new(ctx))};
    const int fd = c.socket.get();
    SSL* ssl = c.ssl.get();
    if (!ssl || SSL_set_fd(ssl, fd) != 1)
        return HttpError{"could not set up TLS: " + describe(SslStep{})};
    // The certificate must name the host: a DNS name (also sent as the server name) or the
    // IP address the URL gives.
    bool named = is_ip_literal(url.host)
                     ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), url.host.c_str()) == 1
                     : SSL_set_tlsext_host_name(ssl, url.host.c_str()) == 1 &&
                           SSL_set1_host(ssl, url.host.c_str()) == 1;
    if (!named)
        return HttpError{"could not set up TLS: " + describe(SslStep{})};
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);

    SslStep step = drive(
        ssl, fd, deadline, [&] { return SSL_connect(ssl); },
        [&] { return tls.load_trust_store(); });
    if (step.idle_error)
        return std::move(*step.idle_error);
    if (auto error = tls.load_error())
        return std::move(*error);
    if (step.abandoned)
        return abandoned(false);
    if (step.timed_out)
        return timed_out(deadline, 0, false);
    if (!step.ok) {
        long verdict = SSL_get_verify_result(ssl);
        if (verdict != X509_V_OK)
            return HttpError{std::string("SSL certificate problem: ") +
                             X509_verify_cert_error_string(verdict)};
        return HttpError{"OpenSSL SSL_connect: " + describe(step) + " in connection to " +
                         url.host + ":" + std::to_string(url.port)};
    }
    return c;
}

// A connection opened ahead of its request that the server has closed (or written to)
// meanwhile: it must not carry the request. What TLS 1.3 servers send after the handshake
// (session tickets) is read and dropped here; it carries no data.
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

// One request and its response over the connection. Reading stops at the end of the
// response, at the cap, or once the head of a redirect is in. Every failure here comes after
// the request began to go out.
Done exchange(Connection& c, const HttpsUrl& url, std::string_view content_type,
              std::string_view body, const Deadline& deadline, HttpResponseReader& reader) {
    SSL* ssl = c.ssl.get();
    const int fd = c.socket.get();
    std::string request = request_head(url, content_type, body.size());
    request.append(body);
    size_t sent = 0;
    while (sent < request.size()) {
        size_t n = 0;
        SslStep step = drive(ssl, fd, deadline, [&] {
            return SSL_write_ex(ssl, request.data() + sent, request.size() - sent, &n);
        });
        if (step.abandoned)
            return abandoned(true);
        if (step.timed_out)
            return timed_out(deadline, 0, true);
        if (!step.ok)
            return HttpError{"Send failure: " + describe(step), true};
        sent += n;
    }

    char buffer[16384];
    while (reader.state() == HttpResponseReader::State::reading && !redirect_location(reader)) {
        size_t n = 0;
        SslStep step =
            drive(ssl, fd, deadline, [&] { return SSL_read_ex(ssl, buffer, sizeof buffer, &n); });
        if (step.abandoned)
            return abandoned(true);
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

// A connection being opened on a thread of its own for the follow-up post to url.
struct Prepared {
    std::string url;
    std::thread worker;
    std::optional<Connection> connection;  // set by the worker when it succeeded
};

class HttpsClient final : public HttpClient {
  public:
    HttpsClient() = default;
    // The TLS context's verification callback holds the address of m_tls.
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;
    ~HttpsClient() override {
        // An unused prepared connection is not waited for: its handshake is cut short.
        m_abandon.raise();
        for (auto& [thread, slot] : m_slots)
            if (slot.prepared && slot.prepared->worker.joinable())
                slot.prepared->worker.join();
    }

    Outcome post(const std::string& url_text, std::string_view content_type, std::string_view body,
                 std::chrono::milliseconds timeout, size_t max_body) override {
        const Deadline deadline(timeout, &m_abandon);
        for (char c : content_type)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return HttpError{"invalid Content-Type"};
        auto parsed = parse_https_url(url_text);
        if (parsed.is_error())
            return HttpError{parsed.error().message};
        HttpsUrl url = parsed.release_value();
        std::optional<Connection> ready = take_prepared(url_text);
        start_follow_up(url_text, url);

        for (int redirects = 0;; ++redirects) {
            HttpResponseReader reader(max_body);
            if (!ready) {
                auto opened = open_connection(m_tls, m_resolver, url, deadline);
                if (opened.is_error())
                    return opened.release_error();
                ready = opened.release_value();
            }
            Connection connection = std::move(*ready);
            ready.reset();
            auto done = exchange(connection, url, content_type, body, deadline, reader);
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
                    return HttpError{reader.error(), true};
            }
        }
    }

    void prepare_follow_up(const std::string& url_text) override {
        std::lock_guard<std::mutex> lock(m_slots_mutex);
        m_slots[std::this_thread::get_id()].follow_up = url_text;
    }

    void abandon() override { m_abandon.raise(); }

  private:
    // A prepared connection waits no longer for its handshake than a request would.
    static constexpr std::chrono::milliseconds k_prepare_timeout{20000};

    // When a follow-up to this post was announced, starts opening its connection.
    void start_follow_up(const std::string& url_text, const HttpsUrl& url) {
        std::lock_guard<std::mutex> lock(m_slots_mutex);
        auto found = m_slots.find(std::this_thread::get_id());
        if (found == m_slots.end() || found->second.follow_up != url_text || found->second.prepared)
            return;
        Slot& slot = found->second;
        slot.follow_up.clear();
        auto prepared = std::make_unique<Prepared>();
        prepared->url = url_text;
        Prepared* p = prepared.get();
        try {
            p->worker = std::thread([this, p, url] {
                const Deadline deadline(k_prepare_timeout, &m_abandon);
                auto opened = open_connection(m_tls, m_resolver, url, deadline);
                if (!opened.is_error())
                    p->connection = opened.release_value();
                ERR_clear_error();
            });
        } catch (const std::system_error&) {
            return;  // no thread to be had: the follow-up connects when it is made
        }
        slot.prepared = std::move(prepared);
    }

    // The connection prepared for url, once its opening has ended (nothing when it failed,
    // went stale meanwhile, or was prepared for another url).
    std::optional<Connection> take_prepared(const std::string& url_text) {
        std::unique_ptr<Prepared> prepared;
        {
            std::lock_guard<std::mutex> lock(m_slots_mutex);
            auto found = m_slots.find(std::this_thread::get_id());
            if (found == m_slots.end() || !found->second.prepared ||
                found->second.prepared->url != url_text)
                return std::nullopt;
            prepared = std::move(found->second.prepared);
        }
        // The opening started before this request and has the same bound: it ends first.
        prepared->worker.join();
        if (!prepared->connection || went_stale(*prepared->connection))
            return std::nullopt;
        return std::move(prepared->connection);
    }

    TlsContext m_tls;
    Resolver m_resolver;
    Abandon m_abandon;
    // Follow-ups are announced, opened and taken by one thread: the thread that makes a
    // request and then its follow-up (several threads may each have one).
    struct Slot {
        std::string follow_up;  // the url whose next post announced a follow-up
        std::unique_ptr<Prepared> prepared;
    };
    std::mutex m_slots_mutex;
    std::map<std::thread::id, Slot> m_slots;
};

}  // namespace

std::unique_ptr<HttpClient> make_https_client() {
    return std::make_unique<HttpsClient>();
}

}  // namespace tessarin
