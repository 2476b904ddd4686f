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

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "src/net/connection_budget.h"
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
              std::string_view body, const Deadline& deadline, HttpResponseReader& reader,
              const std::function<void()>& meanwhile) {
    std::string request = request_head(url, content_type, body.size());
    request.append(body);
    TRY(write_all(c, request, deadline));
    if (meanwhile)
        meanwhile();
    return read_response(c, deadline, reader, [](const HttpResponseReader& r) {
        return redirect_location(r).has_value();
    });
}

// The response as the caller gets it, once the reader has stopped (not at a redirect).
Outcome response_of(HttpResponseReader& reader) {
    HttpResponse response;
    response.status = reader.status();
    if (auto retry_after = reader.header("retry-after"))
        response.retry_after = std::string(*retry_after);
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

// A connection and the budget slot it holds.
struct Held {
    Connection connection;
    ConnectionBudget::Slot slot;
};

// The bound of one connection's opening: the request's deadline, or sooner the connect limit.
Deadline connect_deadline(const Deadline& deadline, std::chrono::milliseconds connect_timeout,
                          const StopWake* wake) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.end() - Clock::now());
    left = std::max(left, std::chrono::milliseconds(0));
    if (connect_timeout.count() > 0 && connect_timeout < left)
        return Deadline(connect_timeout, wake);
    return Deadline(left, wake);
}

// What an early connection's opening shares with the budget, which may take its slot back for
// a request that waits: the connection once opened, and the slot it holds.
class EarlyState final : public ConnectionBudget::Reclaimable {
  public:
    explicit EarlyState(ConnectionBudget::Slot slot) : m_slot(std::move(slot)) {}

    // Called once, before the budget may reclaim: how to stop the opening's thread.
    void set_worker_stop(std::stop_source stop) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_worker_stop = std::move(stop);
    }
    // The worker's connection, kept unless the slot was reclaimed meanwhile.
    void opened(Connection connection) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_reclaimed)
            m_connection = std::move(connection);
    }
    // The connection and its slot, for the request that uses it (nothing once reclaimed).
    std::optional<Held> take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_reclaimed || !m_connection)
            return std::nullopt;
        m_reclaimed = true;  // no longer the budget's to take
        Held held{std::move(*m_connection), std::move(m_slot)};
        m_connection.reset();
        return held;
    }
    // Stops the opening, closes the connection and gives the slot back.
    void reclaim() override {
        std::optional<Connection> closed;
        ConnectionBudget::Slot freed;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_reclaimed)
                return;
            m_reclaimed = true;
            m_worker_stop.request_stop();
            closed = std::move(m_connection);
            m_connection.reset();
            freed = std::move(m_slot);
        }
    }

  private:
    std::mutex m_mutex;
    bool m_reclaimed = false;
    std::optional<Connection> m_connection;
    ConnectionBudget::Slot m_slot;
    std::stop_source m_worker_stop{std::nostopstate};
};

// An early connection being opened on a thread of its own, holding a slot of the command's
// budget. The thread stops, cutting the handshake short, when the opening is destroyed unused,
// when the command's stop is requested, or when the budget takes the slot back for a request.
class HttpsOpening final : public EarlyConnection::Opening {
  public:
    // Starts opening a connection to url; throws std::system_error when no thread is to be had.
    HttpsOpening(TlsContext& tls, Resolver& resolver, ConnectTimes& times, const HttpsUrl& url,
                 const std::stop_token& command_stop, ConnectionBudget& budget,
                 ConnectionBudget::Slot slot, std::chrono::milliseconds connect_timeout)
        : m_state(std::make_shared<EarlyState>(std::move(slot))),
          m_worker([state = m_state, &tls, &resolver, &times, url,
                    connect_timeout](std::stop_token stop) {
              const StopWake wake(std::move(stop));
              const Deadline deadline(connect_timeout.count() > 0 ? connect_timeout : k_timeout,
                                      &wake);
              auto opened = open_connection(tls, resolver, url, deadline, {}, &times);
              if (!opened.is_error())
                  state->opened(opened.release_value());
              ERR_clear_error();
          }),
          m_command_stop(command_stop, RequestStop{&m_worker}) {
        m_state->set_worker_stop(m_worker.get_stop_source());
        budget.offer(m_state);
    }

    // The connection and its slot, once the opening has ended: nothing when it failed, the
    // budget took it back, or the server closed it meanwhile. The opening started before the
    // request that takes it and has no longer a bound, so it ends first.
    std::optional<Held> finish() {
        m_worker.join();
        std::optional<Held> held = m_state->take();
        if (!held || went_stale(held->connection))
            return std::nullopt;
        return held;
    }

  private:
    // An early connection waits no longer for its handshake than a request would.
    static constexpr std::chrono::milliseconds k_timeout{20000};

    struct RequestStop {
        std::jthread* worker;
        void operator()() const noexcept { worker->request_stop(); }
    };

    std::shared_ptr<EarlyState> m_state;
    // Destroyed in reverse: the command's stop no longer reaches the worker, then the worker is
    // told to stop and joined, then the state (connection and slot) goes unless the budget
    // holds it for a moment.
    std::jthread m_worker;
    std::stop_callback<RequestStop> m_command_stop;
};

class HttpsClient final : public HttpClient {
  public:
    explicit HttpsClient(std::stop_token stop)
        : m_stop(std::move(stop)),
          m_wake(m_stop),
          m_budget(ConnectionBudget::cap_from_descriptors(), m_stop) {}
    // The TLS context's verification callback holds the address of m_tls.
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    ConnectionBudget* budget() override { return &m_budget; }

    Outcome post(const std::string& url_text, std::string_view content_type, std::string_view body,
                 std::chrono::milliseconds timeout, size_t max_body, EarlyConnections early,
                 std::chrono::milliseconds connect_timeout) override {
        const Deadline deadline(timeout, &m_wake);
        for (char c : content_type)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return HttpError{"invalid Content-Type"};
        auto parsed = parse_https_url(url_text);
        if (parsed.is_error())
            return HttpError{parsed.error().message};
        HttpsUrl url = parsed.release_value();
        // Sent over an early connection, this post already has its slot (the connection's):
        // the connections it opens for the requests after it start before it waits for the
        // handshake to end. Otherwise they start once its own slot is granted.
        const bool over_early = early.use && early.use->url() == url_text && early.use->started();
        if (over_early)
            start_early(early, url, url_text, connect_timeout);
        std::optional<Held> ready = take_early(early.use, url_text);
        ConnectionBudget::Slot slot;
        if (ready) {
            slot = std::move(ready->slot);
            m_budget.took_over();
        } else {
            auto granted = m_budget.acquire(deadline.end());
            if (!granted)
                return no_slot(deadline);
            slot = std::move(*granted);
        }
        if (!over_early)
            start_early(early, url, url_text, connect_timeout);
        std::optional<Connection> connection;
        if (ready)
            connection = std::move(ready->connection);
        return send(std::move(url), content_type, body, max_body, deadline, connect_timeout,
                    std::move(connection), slot, early.meanwhile);
    }

  private:
    HttpError no_slot(const Deadline& deadline) const {
        if (deadline.stopped())
            return HttpError{"request stopped", false, true};
        return HttpError{"Connection timed out after " + deadline.timeout_ms() +
                         " milliseconds waiting for a connection slot"};
    }

    // A connection to url within the slot. A stall shrinks the budget and closes the idle
    // connections; an attempt left over the shrunk budget gives up its slot and waits for one
    // again, so that the front door sees no more attempts than the budget allows. Descriptors
    // running out shrink the budget and the slot is given up and waited for again, so that the
    // connections of other requests end first; alone, it tries twice more and gives up.
    BasicResult<Connection, HttpError> connect(const HttpsUrl& url, const Deadline& deadline,
                                               std::chrono::milliseconds connect_timeout,
                                               ConnectionBudget::Slot& slot) {
        // Gives the slot back and waits for one again until `until`: false when none came.
        auto wait_for_slot = [&](Clock::time_point until) {
            slot.release();
            auto granted = m_budget.acquire(until);
            if (granted)
                slot = std::move(*granted);
            return granted.has_value();
        };
        for (int alone = 0;;) {
            const Deadline connecting = connect_deadline(deadline, connect_timeout, &m_wake);
            auto opened = open_connection(
                m_tls, m_resolver, url, connecting,
                [this] {
                    m_budget.pushed_back();
                    m_budget.reclaim_idle();
                    return m_budget.in_use() > m_budget.limit();
                },
                &connect_times(url));
            if (!opened.is_error())
                return opened;
            if (opened.error().yielded) {
                if (!wait_for_slot(connecting.end()))
                    return opened;
                continue;
            }
            if (!opened.error().exhausted)
                return opened;
            m_budget.pushed_back();
            m_budget.reclaim_idle();
            slot.release();
            if (m_budget.in_use() == 0 && ++alone > 2)
                return opened;
            if (!m_budget.pause(k_exhausted_pause))
                return HttpError{"request stopped", false, true};
            if (!wait_for_slot(deadline.end()))
                return opened;
        }
    }

    // The POST, over ready when there is one, and again to each redirect's location.
    Outcome send(HttpsUrl url, std::string_view content_type, std::string_view body,
                 size_t max_body, const Deadline& deadline,
                 std::chrono::milliseconds connect_timeout, std::optional<Connection> ready,
                 ConnectionBudget::Slot& slot, std::function<void()> meanwhile) {
        for (int redirects = 0;; ++redirects) {
            HttpResponseReader reader(max_body);
            if (!ready) {
                auto opened = connect(url, deadline, connect_timeout, slot);
                if (opened.is_error())
                    return opened.release_error();
                ready = opened.release_value();
            }
            Connection connection = std::move(*ready);
            ready.reset();
            auto done = exchange(connection, url, content_type, body, deadline, reader,
                                 std::exchange(meanwhile, nullptr));
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

    // Starts opening the early connections of `early` that are for url_text and not started.
    void start_early(EarlyConnections early, const HttpsUrl& url, const std::string& url_text,
                     std::chrono::milliseconds connect_timeout) {
        if (early.open && early.open->url() == url_text && !early.open->started())
            start_early(*early.open, url, connect_timeout);
        for (EarlyConnection& next : early.open_next)
            if (next.url() == url_text && !next.started())
                start_early(next, url, connect_timeout);
    }

    // Starts opening early to url, when the budget has a slot beyond those requests need;
    // otherwise the request it is for connects when it is made.
    void start_early(EarlyConnection& early, const HttpsUrl& url,
                     std::chrono::milliseconds connect_timeout) {
        auto slot = m_budget.try_acquire_early();
        if (!slot)
            return;
        try {
            early.start(std::make_unique<HttpsOpening>(m_tls, m_resolver, connect_times(url), url,
                                                       m_stop, m_budget, std::move(*slot),
                                                       connect_timeout));
        } catch (const std::system_error&) {
            // No thread to be had: the request it is for connects when it is made.
        }
    }

    // The connection opened early for url_text, with its slot (nothing when none was, it failed,
    // was taken back, went stale meanwhile, or was opened by another client or for another url).
    std::optional<Held> take_early(EarlyConnection* early, const std::string& url_text) {
        if (!early || early->url() != url_text || !early->started())
            return std::nullopt;
        std::unique_ptr<EarlyConnection::Opening> opening = early->take();
        auto* ours = dynamic_cast<HttpsOpening*>(opening.get());
        if (!ours)
            return std::nullopt;
        return ours->finish();
    }

    // How long connects to url's host and port take. Kept apart per gate: a primary nearby must
    // not make the connects to a replica far away look stalled.
    ConnectTimes& connect_times(const HttpsUrl& url) {
        std::lock_guard<std::mutex> lock(m_times_mutex);
        return m_connect_times[url.authority()];
    }

    // The pause before a connection is tried again after descriptors ran out.
    static constexpr std::chrono::milliseconds k_exhausted_pause{50};

    std::stop_token m_stop;
    StopWake m_wake;
    ConnectionBudget m_budget;
    TlsContext m_tls;
    Resolver m_resolver;
    std::mutex m_times_mutex;
    std::map<std::string, ConnectTimes> m_connect_times;  // never erased: references stay good
};

}  // namespace

std::unique_ptr<HttpClient> make_https_client(std::stop_token stop) {
    return std::make_unique<HttpsClient>(std::move(stop));
}

}  // namespace tessarin
