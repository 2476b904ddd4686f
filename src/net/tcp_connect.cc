#include "src/net/tcp_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

namespace tessarin {

struct Resolver::Lookup {
    std::string host, port;
    std::mutex mutex;
    bool done = false;
    int rc = 0;
    std::vector<SocketAddress> addresses;
    // Written when the lookup is done: every request waiting for it polls the read end.
    UniqueFd done_read, done_write;
};

namespace {

struct AddrinfoFree {
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};
using AddrinfoPtr = std::unique_ptr<addrinfo, AddrinfoFree>;

std::vector<SocketAddress> copy_addresses(const addrinfo* list) {
    std::vector<SocketAddress> out;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        SocketAddress s;
        std::memcpy(&s.address, a->ai_addr, a->ai_addrlen);
        s.length = a->ai_addrlen;
        s.family = a->ai_family;
        out.push_back(s);
    }
    return out;
}

addrinfo hints_for(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

void run_lookup(const std::shared_ptr<Resolver::Lookup>& lookup) {
    addrinfo hints = hints_for(AI_NUMERICSERV);
    addrinfo* list = nullptr;
    int rc = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &hints, &list);
    AddrinfoPtr owned(list);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->rc = rc;
    lookup->addresses = copy_addresses(list);
    lookup->done = true;
    if (lookup->done_write.valid()) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(lookup->done_write.get(), &byte, 1);
    }
}

// Whether the lookup is done, waiting for it until the deadline (or the command's stop).
Wait wait_for(Resolver::Lookup& lookup, const Deadline& deadline) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(lookup.mutex);
            if (lookup.done)
                return Wait::ready;
        }
        // Without a pipe the lookup is looked at every 10 ms.
        auto until = lookup.done_read.valid()
                         ? deadline.end()
                         : std::min(deadline.end(), Clock::now() + std::chrono::milliseconds(10));
        Wait w = wait_ready(lookup.done_read.get(), POLLIN, until, deadline);
        if (w == Wait::stopped || (w == Wait::timed_out && deadline.expired()))
            return w;
    }
}

void configure(int fd) {
    int one = 1;
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

HttpError stopped_error() {
    return HttpError{"request stopped", false, true};
}

}  // namespace

BasicResult<std::vector<SocketAddress>, HttpError> Resolver::resolve(const HttpsUrl& url,
                                                                     const Deadline& deadline) {
    const std::string port = std::to_string(url.port);
    const HttpError unresolved{"Could not resolve host: " + url.host};

    // An address needs neither a lookup nor a thread.
    addrinfo hints = hints_for(AI_NUMERICSERV | AI_NUMERICHOST);
    addrinfo* numeric = nullptr;
    if (getaddrinfo(url.host.c_str(), port.c_str(), &hints, &numeric) == 0) {
        AddrinfoPtr owned(numeric);
        return copy_addresses(numeric);
    }
    if (url.bracketed)
        return unresolved;

    std::shared_ptr<Lookup> lookup;
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& slot = m_lookups[url.host + "\n" + port];
        if (!slot) {
            slot = std::make_shared<Lookup>();
            slot->host = url.host;
            slot->port = port;
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
                slot->done_read.reset(fds[0]);
                slot->done_write.reset(fds[1]);
            }
            start = true;
        }
        lookup = slot;
    }
    if (start) {
        try {
            std::thread([lookup] { run_lookup(lookup); }).detach();
        } catch (const std::system_error&) {
            run_lookup(lookup);  // no thread to be had: resolve here, without the deadline
        }
    }
    switch (wait_for(*lookup, deadline)) {
        case Wait::stopped:
            return stopped_error();
        case Wait::timed_out:
            return HttpError{"Resolving timed out after " + deadline.timeout_ms() +
                             " milliseconds"};
        case Wait::ready:
            break;
    }
    std::lock_guard<std::mutex> lock(lookup->mutex);
    if (lookup->rc != 0 || lookup->addresses.empty())
        return unresolved;
    return lookup->addresses;
}

std::vector<SocketAddress> interleave_families(std::vector<SocketAddress> addresses) {
    if (addresses.empty())
        return addresses;
    const int first = addresses.front().family;
    std::vector<SocketAddress> same, other;
    for (const SocketAddress& a : addresses) (a.family == first ? same : other).push_back(a);
    std::vector<SocketAddress> out;
    out.reserve(addresses.size());
    for (size_t i = 0; i < std::max(same.size(), other.size()); ++i) {
        if (i < same.size())
            out.push_back(same[i]);
        if (i < other.size())
            out.push_back(other[i]);
    }
    return out;
}

namespace {

// What starting an attempt came to: a socket connected at once (a local address can), one
// still connecting (kept among the running ones), or neither (the failure is noted).
struct Started {
    UniqueFd connected;
    bool connecting = false;
};

// A connection made, and how long its attempt took.
struct Connected {
    UniqueFd socket;
    Clock::duration took{};
};

// An attempt still connecting, and when it started.
struct Running {
    UniqueFd socket;
    Clock::time_point since;
};

// The attempts of one connect_first: the addresses in the order they are tried, the sockets
// still connecting, when the next attempt is due and the last failure seen.
class Attempts {
  public:
    Attempts(const std::vector<SocketAddress>& addresses, std::chrono::milliseconds delay)
        : m_order(interleave_families(addresses)), m_delay(delay) {}

    // Whether the next address is to be tried now: its time has come, or none is left running.
    bool due() const {
        return m_next < m_order.size() && (m_running.empty() || Clock::now() >= m_next_start);
    }
    bool any_running() const { return !m_running.empty(); }
    int last_error() const { return m_last_error; }

    // Starts a connection to the next address.
    Started start_next() { return start(m_order[m_next++]); }

    // After a stall with every address tried: one more attempt to the first address, in place
    // of the previous such attempt. A front door whose listening queue was full dropped the
    // first attempts, which the system then sends again only after growing pauses (1, 3, 7
    // s); a fresh one is seen at once when a place is free. The first attempts stay, for a
    // network that is merely slow.
    Started start_fresh() {
        if (m_next < m_order.size() || m_order.empty())
            return {};
        std::erase_if(m_running, [this](const Running& r) { return r.socket.get() == m_fresh; });
        Started started = start(m_order.front());
        m_fresh = started.connecting ? m_running.back().socket.get() : -1;
        return started;
    }

    // Waits until an attempt finishes, the next one is due, the deadline passes or the request
    // is stopped. The first attempt that connected, if one did.
    BasicResult<std::optional<Connected>, HttpError> wait_for_first(const Deadline& deadline) {
        std::vector<pollfd> polled;
        for (const Running& r : m_running) polled.push_back({r.socket.get(), POLLOUT, 0});
        const StopWake* stop = deadline.stop();
        polled.push_back({stop ? stop->fd() : -1, POLLIN, 0});
        int rc = ::poll(polled.data(), polled.size(), poll_timeout(deadline));
        if (rc < 0 && errno != EINTR)
            return HttpError{"poll: " + error_text(errno)};
        if (rc <= 0)
            return std::optional<Connected>();
        if (polled.back().revents)
            return stopped_error();
        return take_finished(polled);
    }

    // The waits end by `at` as well.
    void wake_at(Clock::time_point at) { m_wake_at = at; }

  private:
    // Starts a connection to a, kept among the running ones while it connects.
    Started start(const SocketAddress& a) {
        UniqueFd s(::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!s.valid()) {
            m_last_error = errno;
            return {};
        }
        configure(s.get());
        if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&a.address), a.length) == 0)
            return {std::move(s)};
        if (errno != EINPROGRESS) {
            m_last_error = errno;
            return {};
        }
        m_running.push_back({std::move(s), Clock::now()});
        m_next_start = m_running.back().since + m_delay;
        return {UniqueFd(), true};
    }

    // Milliseconds until the next attempt is due or the deadline ends; a stop without a
    // descriptor to poll is looked at every 100 ms.
    int poll_timeout(const Deadline& deadline) const {
        auto until =
            m_next < m_order.size() ? std::min(m_next_start, deadline.end()) : deadline.end();
        until = std::min(until, m_wake_at);
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        const StopWake* stop = deadline.stop();
        if (stop && stop->fd() < 0)
            left = std::min<long long>(left, 100);
        return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }

    // Of the attempts poll reported on, the first that connected; those that failed are closed
    // and the next attempt starts at once.
    std::optional<Connected> take_finished(const std::vector<pollfd>& polled) {
        for (size_t i = m_running.size(); i-- > 0;) {
            if (!polled[i].revents)
                continue;
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(m_running[i].socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
            if (error == 0)
                return Connected{std::move(m_running[i].socket), Clock::now() - m_running[i].since};
            m_last_error = error;
            if (m_running[i].socket.get() == m_fresh)
                m_fresh = -1;
            m_running.erase(m_running.begin() + static_cast<long>(i));
            m_next_start = Clock::now();
        }
        return std::nullopt;
    }

    std::vector<SocketAddress> m_order;
    std::chrono::milliseconds m_delay;
    size_t m_next = 0;
    std::vector<Running> m_running;
    int m_last_error = ECONNREFUSED;
    Clock::time_point m_next_start = Clock::now();
    Clock::time_point m_wake_at = Clock::time_point::max();
    // The socket of the attempt start_fresh made last, while it runs (-1: none).
    int m_fresh = -1;
};

}  // namespace

void ConnectTimes::connected(Clock::duration took) {
    const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    int64_t quickest = m_quickest_us.load(std::memory_order_relaxed);
    while ((quickest < 0 || us < quickest) &&
           !m_quickest_us.compare_exchange_weak(quickest, us, std::memory_order_relaxed)) {
    }
}

std::chrono::milliseconds ConnectTimes::stall_after() const {
    const int64_t quickest = m_quickest_us.load(std::memory_order_relaxed);
    if (quickest < 0)
        return k_connect_stall;
    const auto stall = std::chrono::ceil<std::chrono::milliseconds>(
        std::chrono::microseconds(quickest) * k_connect_stall_factor);
    return std::clamp(stall, k_connect_stall_least, k_connect_stall);
}

BasicResult<UniqueFd, HttpError> connect_first(const std::vector<SocketAddress>& addresses,
                                               const HttpsUrl& url, const Deadline& deadline,
                                               std::chrono::milliseconds attempt_delay,
                                               const std::function<bool()>& on_stall,
                                               ConnectTimes* times) {
    Attempts attempts(addresses, attempt_delay);
    auto made = [times](UniqueFd socket, Clock::duration took) {
        if (times)
            times->connected(took);
        return socket;
    };
    auto stall_after = [times] { return times ? times->stall_after() : k_connect_stall; };
    // The stall is counted from the start, then from the last stall. What it is may shrink
    // meanwhile, when another request of the command connects: the wait looks again at least
    // every k_connect_stall_least.
    auto stall_since = Clock::now();
    while (!deadline.expired()) {
        if (deadline.stopped())
            return stopped_error();
        const auto now = Clock::now();
        const auto stall_at = stall_since + stall_after();
        if (on_stall && now >= stall_at) {
            if (on_stall()) {
                HttpError gave_way{"Connection gave way after " + deadline.elapsed_ms() +
                                   " ms without an answer"};
                gave_way.yielded = true;
                return gave_way;
            }
            stall_since = now;
            Started fresh = attempts.start_fresh();
            if (fresh.connected.valid())
                return made(std::move(fresh.connected), {});
            continue;
        }
        if (on_stall)
            attempts.wake_at(std::min(stall_at, now + k_connect_stall_least));
        if (attempts.due()) {
            Started started = attempts.start_next();
            if (started.connected.valid())
                return made(std::move(started.connected), {});
            if (!started.connecting)
                continue;  // a failure makes way for the next address at once
        }
        if (!attempts.any_running())
            break;
        if (std::optional<Connected> connected = TRY(attempts.wait_for_first(deadline)))
            return made(std::move(connected->socket), connected->took);
    }
    if (deadline.expired())
        return HttpError{"Connection timed out after " + deadline.timeout_ms() + " milliseconds"};
    const int error = attempts.last_error();
    HttpError failed{"Failed to connect to " + url.host + " port " + std::to_string(url.port) +
                     " after " + deadline.elapsed_ms() + " ms: " + error_text(error)};
    failed.exhausted = error == EMFILE || error == ENFILE || error == ENOBUFS;
    return failed;
}

}  // namespace tessarin
