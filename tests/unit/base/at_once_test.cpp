#include "src/base/at_once.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stop_token>
#include <thread>

namespace tessarin {
namespace {

TEST(AtOnce, ResultsComeInIndexOrderWithAtMostBoundRunning) {
    std::atomic<int> running{0}, most{0};
    AtOnce<size_t> at_once(20, 4, {}, [&](size_t i, std::stop_token) {
        int now = ++running;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        // Later tasks finish first: the order of results must not follow.
        std::this_thread::sleep_for(std::chrono::milliseconds(20 - i));
        --running;
        return i * i;
    });
    for (size_t i = 0; i < 20; ++i) EXPECT_EQ(at_once.take(i), i * i);
    EXPECT_LE(most.load(), 4);
    EXPECT_GE(most.load(), 2);
}

TEST(AtOnce, StopStartsNothingMore) {
    std::atomic<int> started{0};
    std::stop_source stop;
    AtOnce<int> at_once(100, 2, stop.get_token(), [&](size_t, std::stop_token stopping) {
        ++started;
        while (!stopping.stop_requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 1;
    });
    stop.request_stop();
    // The running tasks see the stop and finish; the others never start.
    EXPECT_EQ(at_once.take(99), std::nullopt);
    EXPECT_LE(started.load(), 2);
}

TEST(AtOnce, AStopWakesATakeWaitingForATaskNotStarted) {
    std::stop_source stop;
    AtOnce<int> at_once(2, 1, stop.get_token(), [](size_t, std::stop_token stopping) {
        while (!stopping.stop_requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 1;
    });
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop.request_stop();
    });
    // Task 1 waits for task 0's thread, which ends only at the stop; then it never starts.
    EXPECT_EQ(at_once.take(1), std::nullopt);
    EXPECT_EQ(at_once.take(0), 1);
}

TEST(AtOnce, TakeGivesUpAtItsDeadline) {
    std::stop_source stop;
    AtOnce<int> at_once(1, 1, stop.get_token(), [](size_t, std::stop_token stopping) {
        while (!stopping.stop_requested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 7;
    });
    EXPECT_EQ(at_once.take(0, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)),
              std::nullopt);
    stop.request_stop();
    EXPECT_EQ(at_once.take(0), 7);  // the running task still delivers
}

}  // namespace
}  // namespace tessarin
