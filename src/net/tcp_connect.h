// The TCP side of a request: host names resolved once for the life of a client (one command),
// and a connection opened to the first of a name's addresses that answers, trying them the way
// a modern client does (address families interleaved, the next attempt started when the
// previous one fails or has not connected within 250 ms).
#pragma once

#include <sys/socket.h>

#include <chrono>
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
// of this same command.
inline constexpr std::chrono::milliseconds k_connect_stall{1000};

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
// runs at each k_connect_stall without a connection; when it answers true the attempts give
// way (an error marked `yielded`), for the caller to try again once its turn comes.
BasicResult<UniqueFd, HttpError> connect_first(
    const std::vector<SocketAddress>& addresses, const HttpsUrl& url, const Deadline& deadline,
    std::chrono::milliseconds attempt_delay = k_attempt_delay,
    const std::function<bool()>& on_stall = {});

}  // namespace tessarin
