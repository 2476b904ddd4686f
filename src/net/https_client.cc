// The program's HTTPS/1.1 client: one POST per call over a TCP connection and TLS session of
// its own (OpenSSL's libssl), redirects followed, the whole exchange bounded by one deadline.
// It exists so that a short-lived process pays for no more than libssl and libcrypto.
//
// A command may post from several threads at once. What the calls share is set up once and
// guarded: the TLS context (with its trust store) and the resolved addresses. A connection is
// never shared: each call opens its own, or takes the one opened for it as a follow-up.
#include "src/net/https_client.h"

#include <openssl/err.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
