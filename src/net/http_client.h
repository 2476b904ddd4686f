// The one seam between the gate code and the network: post a body to a URL within a
// deadline, get a status and a body back, or the HTTP client's error text and whether the
// request went out. Tests replace it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/core/result.h"
#include "src/net/connection_budget.h"

namespace tessarin {

struct HttpResponse {
    long status = 0;
    std::string body;
    // Set when the body grew past the caller's cap: reading stopped there, body holds
    // nothing useful, and body_length is what had arrived (or been announced) by then.
    bool oversize = false;
    size_t body_length = 0;
    // The Retry-After header's value as sent (empty when there was none).
    std::string retry_after;
};

struct HttpError {
    std::string message;
    // Whether any of the request reached the connection before it failed. False means the
    // server cannot have acted on it: name resolution, connection or TLS handshake failed.
    bool sent = false;
    // The command's stop was requested while the request ran: it was cut short.
    bool stopped = false;
    // Nothing was sent because the process or the system ran out of descriptors or buffers
    // (EMFILE, ENFILE, ENOBUFS): a shortage of this client's, not a sign of the server.
    bool exhausted = false;
    // The connection attempt gave way, unanswered, to the command's other connections: nothing
    // was sent; the caller tries again when the budget has room.
    bool yielded = false;
};

// A connection opened ahead of the request that will be sent over it, while an earlier request
// is answered. Its owner is the code that makes both requests: it hands it to the first post to
// open (EarlyConnections::open) and to the second to use (EarlyConnections::use). Destroying
// it cuts an opening short, or closes the unused connection, and waits for its thread. It must
// not outlive the client that opened it.
class EarlyConnection {
  public:
    // What a client keeps of an opening it started (its thread, then its connection).
    class Opening {
      public:
        virtual ~Opening() = default;
    };

    EarlyConnection() = default;
    // An early connection to url, not opened yet.
    explicit EarlyConnection(std::string url) : m_url(std::move(url)) {}
    EarlyConnection(EarlyConnection&&) noexcept = default;
    EarlyConnection& operator=(EarlyConnection&&) noexcept = default;

    const std::string& url() const { return m_url; }
    // Whether a client started opening it (and nobody has taken the opening since).
    bool started() const { return m_opening != nullptr; }
    // For the client: the opening it started, and later takes back to send over it.
    void start(std::unique_ptr<Opening> opening) { m_opening = std::move(opening); }
    std::unique_ptr<Opening> take() { return std::move(m_opening); }

  private:
    std::string m_url;
    std::unique_ptr<Opening> m_opening;
};

// The early connections a post has a part in (either may be null).
struct EarlyConnections {
    // Sent over when it was opened for the post's URL, in time and still good; else the post
    // connects on its own.
    EarlyConnection* use = nullptr;
    // Started as the post is sent, when it is for the post's URL and not started yet: it is
    // opened while the post is answered. A client may also leave it unopened.
    EarlyConnection* open = nullptr;
    // Started like `open`, as far as the budget has room: for requests that follow at once.
    std::span<EarlyConnection> open_next = {};
    // Work for the requests that follow, done once this post's request is sent, while its
    // answer is awaited (a client may also skip it).
    std::function<void()> meanwhile = {};
};

// One client serves one command and stops with it (the command's stop_token, given at its
// making). post may run on several threads at once: each call has a connection of its own;
// only the TLS set-up and the resolved addresses are shared.
class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // One HTTP/1.1 POST. Redirects are followed (at most 100, https only); the whole
    // exchange ends at the timeout, or at once when the command's stop is requested.
    // connect_timeout, when not zero, bounds resolution, TCP and TLS of each connection
    // (a gate with a replica is found dead sooner). The post waits for a slot of the
    // command's connection budget.
    virtual BasicResult<HttpResponse, HttpError> post(
        const std::string& url, std::string_view content_type, std::string_view body,
        std::chrono::milliseconds timeout, size_t max_body, EarlyConnections early = {},
        std::chrono::milliseconds connect_timeout = {}) = 0;
    // The command's connection budget, or nothing for a client without one (a test's).
    virtual ConnectionBudget* budget() { return nullptr; }
};

}  // namespace tessarin
