#include "src/net/connection_budget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <utility>

namespace tessarin {

size_t connections_for_descriptors(long descriptor_limit, long descriptors_open) {
    const long spare = descriptor_limit - descriptors_open - k_descriptor_margin;
    const long connections = spare / k_descriptors_per_connection;
    return static_cast<size_t>(std::clamp<long>(connections, 1, k_budget_most));
}

namespace {

// The descriptors open in this process now, or nothing when they cannot be counted (counting
// needs one itself, which it does not count).
std::optional<long> descriptors_open() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return std::nullopt;
    long count = 0;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.')
            ++count;
    ::closedir(dir);
    return count - 1;
}

}  // namespace

size_t ConnectionBudget::cap_from_descriptors() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return k_budget_most;
    const long cur = static_cast<long>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
    // A limit this generous (the usual 1024) leaves the most even with hundreds of descriptors
    // inherited: no need to count them (a directory read per command). Should it still run
    // out, the connection's EMFILE shrinks the budget.
    if (connections_for_descriptors(cur, k_descriptors_not_counted) >= k_budget_most)
        return k_budget_most;
    // Uncounted, the lowest free descriptor's number is a floor for those open.
    return connections_for_descriptors(cur, descriptors_open().value_or(cur / 2));
}

ConnectionBudget::ConnectionBudget(size_t limit_cap, std::stop_token stop, size_t start)
    : m_cap(std::max<size_t>(1, limit_cap)),
      m_limit(std::clamp<size_t>(start, 1, m_cap)),
      m_stop(std::move(stop)),
      m_wake(m_stop, WakeAll{this}) {}

void ConnectionBudget::WakeAll::operator()() const noexcept {
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_changed.notify_all();
}

void ConnectionBudget::Slot::release() {
    if (m_budget)
        std::exchange(m_budget, nullptr)->give_back();
}

void ConnectionBudget::give_back() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_in_use;
    m_changed.notify_all();
}

std::shared_ptr<ConnectionBudget::Reclaimable> ConnectionBudget::take_idle() {
    while (!m_idle.empty()) {
        std::shared_ptr<Reclaimable> idle = m_idle.front().lock();
        m_idle.pop_front();
        if (idle)
            return idle;
    }
    return nullptr;
}

std::optional<ConnectionBudget::Slot> ConnectionBudget::acquire(
    std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_waiting;
    for (;;) {
        if (m_stop.stop_requested())
            break;
        if (m_in_use < m_limit) {
            --m_waiting;
            ++m_in_use;
            count_granted();
            return Slot(this);
        }
        // An idle early connection gives way to a request that waits.
        if (std::shared_ptr<Reclaimable> idle = take_idle()) {
            lock.unlock();
            idle->reclaim();
            idle.reset();
            lock.lock();
            continue;
        }
        if (m_changed.wait_until(lock, until) == std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= until)
            break;
    }
    --m_waiting;
    return std::nullopt;
}

std::optional<ConnectionBudget::Slot> ConnectionBudget::try_acquire_early() {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t coming = 0;
    for (size_t left : m_announced) coming += left;
    // Requests waiting now are mostly announced ones: the larger count stands for both.
    if (m_stop.stop_requested() || m_in_use + std::max(m_waiting, coming) >= m_limit)
        return std::nullopt;
    ++m_in_use;
    return Slot(this);
}

void ConnectionBudget::count_granted() {
    for (size_t& left : m_announced)
        if (left > 0) {
            --left;
            return;
        }
}

void ConnectionBudget::took_over() {
    std::lock_guard<std::mutex> lock(m_mutex);
    count_granted();
}

ConnectionBudget::Coming ConnectionBudget::expect(size_t requests) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return Coming(this, m_announced.insert(m_announced.end(), requests));
}

ConnectionBudget::Coming::~Coming() {
    if (!m_budget)
        return;
    std::lock_guard<std::mutex> lock(m_budget->m_mutex);
    m_budget->m_announced.erase(m_left);
}

void ConnectionBudget::offer(const std::shared_ptr<Reclaimable>& idle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_idle.push_back(idle);
    // A request may be waiting for this very slot.
    m_changed.notify_all();
}

void ConnectionBudget::reclaim_idle() {
    for (;;) {
        std::shared_ptr<Reclaimable> idle;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            idle = take_idle();
        }
        if (!idle)
            return;
        idle->reclaim();
    }
}

void ConnectionBudget::answered() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_limit < m_cap)
        ++m_limit;
    m_changed.notify_all();
}

void ConnectionBudget::pushed_back() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limit = std::max<size_t>(1, m_limit / 2);
}

size_t ConnectionBudget::in_use() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_in_use;
}

size_t ConnectionBudget::limit() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_limit;
}

bool ConnectionBudget::pause(std::chrono::milliseconds pause) {
    const auto until = std::chrono::steady_clock::now() + pause;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop.stop_requested())
        if (m_changed.wait_until(lock, until) == std::cv_status::timeout)
            return !m_stop.stop_requested();
    return false;
}

}  // namespace tessarin
