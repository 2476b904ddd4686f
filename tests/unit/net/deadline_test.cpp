#include "src/net/deadline.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <thread>

namespace tessarin {
namespace {

// A descriptor that never turns readable: the read end of a pipe nobody writes.
struct QuietPipe {
    UniqueFd read, write;
    QuietPipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
};

TEST(WaitReady, TheCommandsStopEndsTheWait) {
    // Requested before the wait, or from another thread while it waits: either way the wait
    // ends with stopped long before its deadline.
    for (bool while_waiting : {false, true}) {
        QuietPipe quiet;
        std::stop_source stop;
        const StopWake wake(stop.get_token());
        const Deadline deadline(std::chrono::milliseconds(600000), &wake);
        std::jthread stopper;
        if (while_waiting)
            stopper = std::jthread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                stop.request_stop();
            });
        else
            stop.request_stop();
        EXPECT_EQ(wait_ready(quiet.read.get(), POLLIN, deadline.end(), deadline), Wait::stopped)
            << while_waiting;
        EXPECT_TRUE(deadline.stopped());
    }
}

TEST(WaitReady, WithoutAStopOnlyTheDeadlineOrTheDescriptorEndIt) {
    QuietPipe quiet;
    std::stop_source stop;
    const StopWake wake(stop.get_token());
    const Deadline passed(std::chrono::milliseconds(0), &wake);
    EXPECT_EQ(wait_ready(quiet.read.get(), POLLIN, passed.end(), passed), Wait::timed_out);
    const Deadline deadline(std::chrono::milliseconds(600000), &wake);
    ASSERT_EQ(::write(quiet.write.get(), "x", 1), 1);
    EXPECT_EQ(wait_ready(quiet.read.get(), POLLIN, deadline.end(), deadline), Wait::ready);
    EXPECT_FALSE(deadline.stopped());
}

}  // namespace
}  // namespace tessarin
