// Time and cancellation for the network code: the one deadline of a request, the command's stop
// made visible to poll, and a wait for a socket bounded by both.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>

#include "src/base/posix.h"

namespace tessarin {

using Clock = std::chrono::steady_clock;

// Makes a command's stop wake a poll: a pipe that turns readable once stop is requested on the
// token it watches, seen by every wait of every request that carries it, on any thread.
class StopWake {
  public:
    explicit StopWake(std::stop_token stop);
    StopWake(const StopWake&) = delete;
    StopWake& operator=(const StopWake&) = delete;

    bool stop_requested() const { return m_stop.stop_requested(); }
    // Readable once stop is requested (-1 when no pipe could be made: waits then look at
    // stop_requested()).
    int fd() const { return m_read.get(); }

  private:
    struct WriteByte {
        int fd;
        void operator()() const noexcept;
    };
    std::stop_token m_stop;
    UniqueFd m_read, m_write;
    // Last, so that it is unregistered before the pipe closes.
    std::optional<std::stop_callback<WriteByte>> m_wake;
};

// The one deadline of a request: resolution, connection, handshake, and every read and write
// of every redirect hop share it. It also carries the command's stop, with its StopWake.
class Deadline {
  public:
    Deadline(std::chrono::milliseconds timeout, const StopWake* stop = nullptr)
        : m_timeout(timeout), m_start(Clock::now()), m_end(m_start + timeout), m_stop(stop) {}
    Clock::time_point end() const { return m_end; }
    bool expired() const { return Clock::now() >= m_end; }
    bool stopped() const { return m_stop && m_stop->stop_requested(); }
    const StopWake* stop() const { return m_stop; }
    std::string timeout_ms() const { return std::to_string(m_timeout.count()); }
    std::string elapsed_ms() const {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
    }

  private:
    std::chrono::milliseconds m_timeout;
    Clock::time_point m_start;
    Clock::time_point m_end;
    const StopWake* m_stop;
};

enum class Wait { ready, timed_out, stopped };

// Waits until fd is ready for events, `until` passes or the deadline's stop is requested. A
// poll failure other than an interruption counts as ready, so the next socket call reports it.
Wait wait_ready(int fd, short events, Clock::time_point until, const Deadline& deadline);

}  // namespace tessarin
