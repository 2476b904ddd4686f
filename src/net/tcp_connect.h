// The TCP side of a request: host names resolved once for the life of a client (one command),
// and a connection opened to the first of a name's addresses that answers, trying them the way
// a modern client does (address families interleaved, the next attempt started when the
// previous one fails or has not connected within 250 ms).
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "src/base/posix.h"
#include "src/net/deadline.h"
#include "src/net/http_client.h"
#include "src/net/https_url.h"

namespace tessarin {

// How long an attempt has before the next address is tried beside it.
inline constexpr std::chrono::milliseconds k_attempt_delay{250};
// No address answering for this long is a stall, told to the caller: a front door's full
// listening queue drops connection attempts while the connections it serves may be idle ones
// of this same command. The most, and what a command waits before it has seen a connect.
inline constexpr std::chrono::milliseconds k_connect_stall{1000};
// Once a connect has been seen, a stall is this many times the quickest one, and no less than
// k_connect_stall_least.
inline constexpr int k_connect_stall_factor = 4;
inline constexpr std::chrono::milliseconds k_connect_stall_least{100};

// How long a command's TCP connects take, which tells when one is stalled. The answer to an
// attempt comes from the peer's system, not from its program, so it takes a round trip however
// busy the server is; an attempt taking many times longer than the quickest was dropped (a
// full listening queue drops it without a word, and the system sends it again only after a
// second). Shared by the command's requests to one host and port.
class ConnectTimes {
  public:
    void connected(std::chrono::steady_clock::duration took);
    // k_connect_stall until a connect was seen, then k_connect_stall_factor times the quickest,
    // between k_connect_stall_least and k_connect_stall.
    std::chrono::milliseconds stall_after() const;

  private:
    std::atomic<int64_t> m_quickest_us{-1};  // -1: none seen yet
};

struct SocketAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family = 0;
};

// Name resolution, at most once per host and port for the life of the resolver; the requests
// of a command share the answer. A lookup cannot be interrupted, so it runs on a thread of its
// own and each request stops waiting for it at its deadline; a late lookup finishes alone, and
// its answer is there for the requests that come later.
class Resolver {
  public:
    BasicResult<std::vector<SocketAddress>, HttpError> resolve(const HttpsUrl& url,
                                                               const Deadline& deadline);

    struct Lookup;

  private:
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<Lookup>> m_lookups;
};

// The addresses in the order they are tried: the families alternate, starting with the family
// of the first address.
std::vector<SocketAddress> interleave_families(std::vector<SocketAddress> addresses);

// A TCP connection to the first address that answers (non-blocking, TCP_NODELAY), the others
// closed. Attempts overlap: the next starts when one fails or after k_attempt_delay. on_stall
// runs at each stall without a connection (times->stall_after(), or k_connect_stall without
// times); when it answers true the attempts give way (an error marked `yielded`), for the
// caller to try again once its turn comes. Each connect is told to times.
BasicResult<UniqueFd, HttpError> connect_first(
    const std::vector<SocketAddress>& addresses, const HttpsUrl& url, const Deadline& deadline,
    std::chrono::milliseconds attempt_delay = k_attempt_delay,
    const std::function<bool()>& on_stall = {}, ConnectTimes* times = nullptr);

}  // namespace tessarin
