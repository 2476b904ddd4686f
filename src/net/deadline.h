// Time and cancellation for the network code: the one deadline of a request, a signal that
// the requests still running are no longer wanted, and a wait for a socket bounded by both.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "src/base/posix.h"

namespace tessarin {

using Clock = std::chrono::steady_clock;

// Raised once, seen by every wait of every request of a client, on any thread: the waits end
// at once. A pipe that is written when raised, so that a poll wakes up for it.
class Abandon {
  public:
    Abandon();
    Abandon(const Abandon&) = delete;
    Abandon& operator=(const Abandon&) = delete;

    void raise();
    bool raised() const { return m_raised.load(std::memory_order_acquire); }
    // Readable once raised (-1 when no pipe could be made: waits then look at raised()).
    int fd() const { return m_read.get(); }

  private:
    std::atomic<bool> m_raised{false};
    UniqueFd m_read, m_write;
};

// The one deadline of a request: resolution, connection, handshake, and every read and write
// of every redirect hop share it. It also carries the client's Abandon.
class Deadline {
  public:
    Deadline(std::chrono::milliseconds timeout, const Abandon* abandon = nullptr)
        : m_timeout(timeout), m_start(Clock::now()), m_end(m_start + timeout), m_abandon(abandon) {}
    Clock::time_point end() const { return m_end; }
    bool expired() const { return Clock::now() >= m_end; }
    bool abandoned() const { return m_abandon && m_abandon->raised(); }
    const Abandon* abandon() const { return m_abandon; }
    std::string timeout_ms() const { return std::to_string(m_timeout.count()); }
    std::string elapsed_ms() const {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
    }

  private:
    std::chrono::milliseconds m_timeout;
    Clock::time_point m_start;
    Clock::time_point m_end;
    const Abandon* m_abandon;
};

enum class Wait { ready, timed_out, abandoned };

// Waits until fd is ready for events, `until` passes or the deadline's Abandon is raised. A
// poll failure other than an interruption counts as ready, so the next socket call reports it.
Wait wait_ready(int fd, short events, Clock::time_point until, const Deadline& deadline);

}  // namespace tessarin
