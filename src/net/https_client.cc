// The program's HTTPS/1.1 client: one POST per call over a TCP connection and TLS session of
// its own (OpenSSL's libssl), redirects followed, the whole exchange bounded by one deadline.
// It exists so that a short-lived process pays for no more than libssl and libcrypto.
//
// A command may post from several threads at once. What the calls share is set up once and
// guarded: the TLS context (with its trust store) and the resolved addresses. A connection is
// never shared: each call opens its own, or is sent over the early connection its caller opened
// for it (EarlyConnection, owned by the caller) while an earlier request was answered.
#include "src/net/https_client.h"

#include <openssl/err.h>

#include <memory>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "src/net/deadline.h"
#include "src/net/http_response.h"
#include "src/net/https_url.h"
#include "src/net/tcp_connect.h"
#include "src/net/tls_context.h"
#include "src/net/tls_stream.h"

namespace tessarin {

namespace {

using Outcome = BasicResult<HttpResponse, HttpError>;
using Done = BasicResult<void, HttpError>;

constexpr int k_max_redirects = 100;

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
    std::string request = request_head(url, content_type, body.size());
    request.append(body);
    TRY(write_all(c, request, deadline));
    return read_response(c, deadline, reader, [](const HttpResponseReader& r) {
        return redirect_location(r).has_value();
    });
}

// The response as the caller gets it, once the reader has stopped (not at a redirect).
Outcome response_of(HttpResponseReader& reader) {
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

// An early connection being opened on a thread of its own. The thread stops, cutting the
// handshake short, when the opening is destroyed unused or when the command's stop is requested.
class HttpsOpening final : public EarlyConnection::Opening {
  public:
    // Starts opening a connection to url; throws std::system_error when no thread is to be had.
    HttpsOpening(TlsContext& tls, Resolver& resolver, const HttpsUrl& url,
                 const std::stop_token& command_stop)
        : m_worker([this, &tls, &resolver, url](std::stop_token stop) {
              const StopWake wake(std::move(stop));
              const Deadline deadline(k_timeout, &wake);
              auto opened = open_connection(tls, resolver, url, deadline);
              if (!opened.is_error())
                  m_connection = opened.release_value();
              ERR_clear_error();
          }),
          m_command_stop(command_stop, RequestStop{&m_worker}) {}

    // The connection, once the opening has ended: nothing when it failed or the server closed
    // it meanwhile. The opening started before the request that takes it and has the same
    // bound, so it ends first.
    std::optional<Connection> finish() {
        m_worker.join();
        if (!m_connection || went_stale(*m_connection))
            return std::nullopt;
        return std::move(m_connection);
    }

  private:
    // An early connection waits no longer for its handshake than a request would.
    static constexpr std::chrono::milliseconds k_timeout{20000};

    struct RequestStop {
        std::jthread* worker;
        void operator()() const noexcept { worker->request_stop(); }
    };

    std::optional<Connection> m_connection;  // set by the worker when it succeeded
    // Destroyed in reverse: the command's stop no longer reaches the worker, then the worker is
    // told to stop and joined, then the connection is closed.
    std::jthread m_worker;
    std::stop_callback<RequestStop> m_command_stop;
};

class HttpsClient final : public HttpClient {
  public:
    explicit HttpsClient(std::stop_token stop) : m_stop(std::move(stop)), m_wake(m_stop) {}
    // The TLS context's verification callback holds the address of m_tls.
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    Outcome post(const std::string& url_text, std::string_view content_type, std::string_view body,
                 std::chrono::milliseconds timeout, size_t max_body,
                 EarlyConnections early) override {
        const Deadline deadline(timeout, &m_wake);
        for (char c : content_type)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return HttpError{"invalid Content-Type"};
        auto parsed = parse_https_url(url_text);
        if (parsed.is_error())
            return HttpError{parsed.error().message};
        HttpsUrl url = parsed.release_value();
        std::optional<Connection> ready = take_early(early.use, url_text);
        if (early.open && early.open->url() == url_text && !early.open->started())
            start_early(*early.open, url);
        return send(std::move(url), content_type, body, max_body, deadline, std::move(ready));
    }

  private:
    // The POST, over ready when there is one, and again to each redirect's location.
    Outcome send(HttpsUrl url, std::string_view content_type, std::string_view body,
                 size_t max_body, const Deadline& deadline, std::optional<Connection> ready) {
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
            auto location = redirect_location(reader);
            if (!location)
                return response_of(reader);
            // The POST and its body go to the new location as they are; never to anything
            // but https.
            if (redirects == k_max_redirects)
                return HttpError{"Maximum (" + std::to_string(k_max_redirects) +
                                 ") redirects followed"};
            auto next = resolve_location(url, *location);
            if (next.is_error())
                return HttpError{next.error().message};
            url = next.release_value();
        }
    }

    // Starts opening early to url. This is where a connection is taken for it: a command's
    // budget of connections would be asked here, and a refusal leaves early unopened.
    void start_early(EarlyConnection& early, const HttpsUrl& url) {
        try {
            early.start(std::make_unique<HttpsOpening>(m_tls, m_resolver, url, m_stop));
        } catch (const std::system_error&) {
            // No thread to be had: the request it is for connects when it is made.
        }
    }

    // The connection opened early for url_text (nothing when none was, it failed, went stale
    // meanwhile, or was opened by another client or for another url).
    std::optional<Connection> take_early(EarlyConnection* early, const std::string& url_text) {
        if (!early || early->url() != url_text || !early->started())
            return std::nullopt;
        std::unique_ptr<EarlyConnection::Opening> opening = early->take();
        auto* ours = dynamic_cast<HttpsOpening*>(opening.get());
        if (!ours)
            return std::nullopt;
        return ours->finish();
    }

    std::stop_token m_stop;
    StopWake m_wake;
    TlsContext m_tls;
    Resolver m_resolver;
};

}  // namespace

std::unique_ptr<HttpClient> make_https_client(std::stop_token stop) {
    return std::make_unique<HttpsClient>(std::move(stop));
}

}  // namespace tessarin
