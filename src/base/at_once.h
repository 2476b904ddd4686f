// Work done at once on a few threads: tasks 0..count-1, started in index order, at most
// `bound` running together, their results taken in index order by the one thread that owns
// the AtOnce. Used where a command makes many gate requests that do not depend on each other.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
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
    // task(i, stopping) computes result i; `stopping` turns true once the owner needs no more
    // results (a task may then skip work it has not started).
    using Task = std::function<T(size_t index, const std::atomic<bool>& stopping)>;

    AtOnce(size_t count, size_t bound, Task task) : m_task(std::move(task)), m_results(count) {
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
    ~AtOnce() {
        stop();
        for (std::thread& t : m_workers) t.join();
    }

    // Result i, waiting for it (running it here when no thread took it). Nothing once it
    // was never started because of stop(), or when `until` passed first.
    template <typename Until = std::nullopt_t>
    std::optional<T> take(size_t index, Until until = std::nullopt) {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_results[index].has_value())
                return std::move(m_results[index]);
            if (m_next <= index && m_workers.empty() && !m_stopping) {
                size_t i = m_next++;
                lock.unlock();
                run(i);
                lock.lock();
                continue;
            }
            if (m_stopping && m_next <= index)
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

    // No task starts from now on; those running finish.
    void stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }

  private:
    void run(size_t i) {
        T result = m_task(i, m_stopping);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results[i] = std::move(result);
        m_changed.notify_all();
    }

    void work() {
        for (;;) {
            size_t i;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stopping || m_next >= m_results.size())
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
    std::atomic<bool> m_stopping{false};
    std::vector<std::thread> m_workers;
};

}  // namespace tessarin
