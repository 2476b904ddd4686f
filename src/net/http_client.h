// The one seam between the gate code and the network: post a body to a URL within a
// deadline, get a status and a body back, or the HTTP client's error text and whether the
// request went out. Tests replace it.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "crypto/core/result.h"

namespace tessarin {

struct HttpResponse {
    long status = 0;
    std::string body;
    // Set when the body grew past the caller's cap: reading stopped there, body holds
    // nothing useful, and body_length is what had arrived (or been announced) by then.
    bool oversize = false;
    size_t body_length = 0;
};

struct HttpError {
    std::string message;
    // Whether any of the request reached the connection before it failed. False means the
    // server cannot have acted on it: name resolution, connection or TLS handshake failed.
    bool sent = false;
    // The client was told to abandon its requests (HttpClient::abandon).
    bool abandoned = false;
};

// One client serves one command. post may run on several threads at once: each call has a
// connection of its own; only the TLS set-up and the resolved addresses are shared.
class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // One HTTP/1.1 POST. Redirects are followed (at most 100, https only); the whole
    // exchange ends at the timeout.
    virtual BasicResult<HttpResponse, HttpError> post(const std::string& url,
                                                      std::string_view content_type,
                                                      std::string_view body,
                                                      std::chrono::milliseconds timeout,
                                                      size_t max_body) = 0;
    // Says that the calling thread's next post to url will certainly be followed by another
    // to it: while the first is answered, a connection (TCP and verified TLS) is opened for
    // the second. That connection serves the second post only; unused, it is closed with the
    // client.
    virtual void prepare_follow_up(const std::string& url) { (void)url; }
    // Ends every post still running, and any later one, at once with an error: for requests
    // whose answers are no longer wanted.
    virtual void abandon() {}
};

}  // namespace tessarin
