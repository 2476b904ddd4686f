// Work done at once on a few threads: tasks 0..count-1, started in index order, at most
// `bound` running together, their results taken in index order by the one thread that owns
// the AtOnce. Used where a command makes many gate requests that do not depend on each other.
// The command's stop ends it: no task starts once stop is requested.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace tessarin {

// How many gate requests a command has in flight at most. Enough that the ten entries a
// template may name resolve in one round and fifty search hits in four, few enough that one
// command never looks like a flood to the gate (one connection and thread per request).
inline constexpr size_t k_requests_at_once = 16;

template <typename T>
class AtOnce {
  public:
    // task(i, stop) computes result i; stop is the command's, requested once the command needs
    // no more results (a task may then skip work it has not started).
    using Task = std::function<T(size_t index, std::stop_token stop)>;

    AtOnce(size_t count, size_t bound, std::stop_token stop, Task task)
        : m_task(std::move(task)),
          m_results(count),
          m_stop(std::move(stop)),
          m_wake_takers(m_stop, WakeTakers{this}) {
        size_t threads = std::min(bound, count);
        for (size_t i = 0; i < threads; ++i) {
            try {
                m_workers.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;  // fewer threads, or none: result() then runs what is left itself
            }
        }
    }
    AtOnce(const AtOnce&) = delete;
    AtOnce& operator=(const AtOnce&) = delete;
    // Waits for the tasks still to run (none start once stop is requested).
    ~AtOnce() {
        for (std::thread& t : m_workers) t.join();
    }

    // Result i, waiting for it (running it here when no thread took it, if `until` has not
    // passed). Nothing once it was never started because stop was requested, or when `until`
    // passed first.
    template <typename Until = std::nullopt_t>
    std::optional<T> take(size_t index, Until until = std::nullopt) {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_results[index].has_value())
                return std::move(m_results[index]);
            const bool stopping = m_stop.stop_requested();
            if (m_next <= index && m_workers.empty() && !stopping) {
                // Without threads the tasks run here, one by one: none starts past `until`.
                if constexpr (!std::is_same_v<Until, std::nullopt_t>) {
                    if (Until::clock::now() >= until)
                        return std::nullopt;
                }
                size_t i = m_next++;
                lock.unlock();
                run(i);
                lock.lock();
                continue;
            }
            if (stopping && m_next <= index)
                return std::nullopt;
            if constexpr (std::is_same_v<Until, std::nullopt_t>) {
                m_changed.wait(lock);
            } else {
                if (m_changed.wait_until(lock, until) == std::cv_status::timeout &&
                    !m_results[index].has_value())
                    return std::nullopt;
            }
        }
    }

  private:
    // Wakes the threads waiting in take() when stop is requested.
    struct WakeTakers {
        AtOnce* self;
        void operator()() const noexcept {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_changed.notify_all();
        }
    };

    void run(size_t i) {
        T result = m_task(i, m_stop);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results[i] = std::move(result);
        m_changed.notify_all();
    }

    void work() {
        for (;;) {
            size_t i;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stop.stop_requested() || m_next >= m_results.size())
                    return;
                i = m_next++;
            }
            run(i);
        }
    }

    Task m_task;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Result i once task i has returned (taking it leaves it there, moved from).
    std::vector<std::optional<T>> m_results;
    size_t m_next = 0;
    std::stop_token m_stop;
    std::stop_callback<WakeTakers> m_wake_takers;
    std::vector<std::thread> m_workers;
};

}  // namespace tessarin
