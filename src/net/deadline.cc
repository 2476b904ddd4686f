#include "src/net/deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tessarin {

StopWake::StopWake(std::stop_token stop) : m_stop(std::move(stop)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_read.reset(fds[0]);
        m_write.reset(fds[1]);
    }
    // Runs at once when stop was requested before.
    m_wake.emplace(m_stop, WriteByte{m_write.get()});
}

void StopWake::WriteByte::operator()() const noexcept {
    if (fd < 0)
        return;
    const char byte = 1;
    // Nobody reads the pipe: one byte keeps it readable for every poll from now on.
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
}

Wait wait_ready(int fd, short events, Clock::time_point until, const Deadline& deadline) {
    const StopWake* stop = deadline.stop();
    for (;;) {
        if (stop && stop->stop_requested())
            return Wait::stopped;
        auto left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return Wait::timed_out;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        // Without a pipe, a stop is noticed within a tenth of a second.
        if (stop && stop->fd() < 0)
            ms = std::min<long long>(ms, 100);
        pollfd p[2] = {{fd, events, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
        int rc = ::poll(p, 2, static_cast<int>(std::min<long long>(ms, 1 << 30)));
        if (rc > 0 && p[1].revents)
            return Wait::stopped;
        if (rc > 0)
            return Wait::ready;
        if (rc < 0 && errno != EINTR)
            return Wait::ready;
    }
}

}  // namespace tessarin
