// The connections one command may have open at once, shared by its requests and its early
// connections. It starts at its most, shrinks when the world pushes back (a refusal, a
// connection attempt or handshake left unanswered, descriptors running out) and grows again
// while requests are answered, the way TCP's congestion window does; it never exceeds what the
// process's descriptor limit leaves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "src/base/at_once.h"

namespace tessarin {

// The most connections at once: as many requests as a command makes at once (AtOnce's
// threads), each with the connection of the request after it opening while it is answered.
inline constexpr size_t k_budget_most = 2 * k_requests_at_once;
// Connections at once when a command starts: the most. A request costs three round trips
// (TCP, TLS, the POST), so every connection short of a round costs the command another three:
// a search's first look-ups take sixteen, and the connections for the look-ups after them
// sixteen more, before any look-up has been answered to grow the budget. Behind a front door
// with a smaller limit the surplus is refused cheaply (before the gate sees it) or dropped,
// tried again after a pause, and the budget halves at once.
inline constexpr size_t k_budget_start = k_budget_most;
// Descriptors kept back for what is not a connection (standard streams, the configuration,
// the trust store, pipes that wake waits, the resolver).
inline constexpr long k_descriptor_margin = 4;
// Descriptors one connection may use: its socket, a second socket racing another address,
// and the pipe of an early connection's opening.
inline constexpr long k_descriptors_per_connection = 3;

// Descriptors a command may hold open before it connects (inherited ones included) without
// the budget counting them, when the limit leaves room for the most connections beyond them.
inline constexpr long k_descriptors_not_counted = 256;

// The connections a command may open at once, given the descriptors free now (limit minus those
// open), never below one.
size_t connections_for_descriptors(long descriptor_limit, long descriptors_open);

class ConnectionBudget {
  public:
    // Something holding a slot that can give it back at once when asked (an idle early
    // connection). reclaim() runs on the asking thread, without the budget's lock.
    class Reclaimable {
      public:
        virtual ~Reclaimable() = default;
        virtual void reclaim() = 0;
    };

    // Requests a command is about to start at once (their threads are starting): until each has
    // taken its slot, early connections leave those slots free. Ends when destroyed.
    class Coming {
      public:
        Coming(ConnectionBudget* budget, std::list<size_t>::iterator left)
            : m_budget(budget), m_left(left) {}
        Coming(Coming&& other) noexcept
            : m_budget(std::exchange(other.m_budget, nullptr)), m_left(other.m_left) {}
        Coming& operator=(Coming&&) = delete;
        ~Coming();

      private:
        ConnectionBudget* m_budget;
        std::list<size_t>::iterator m_left;
    };

    // A slot held; given back when destroyed.
    class Slot {
      public:
        Slot() = default;
        explicit Slot(ConnectionBudget* budget) : m_budget(budget) {}
        Slot(Slot&& other) noexcept : m_budget(std::exchange(other.m_budget, nullptr)) {}
        Slot& operator=(Slot&& other) noexcept {
            if (this != &other) {
                release();
                m_budget = std::exchange(other.m_budget, nullptr);
            }
            return *this;
        }
        ~Slot() { release(); }
        bool held() const { return m_budget != nullptr; }
        void release();

      private:
        ConnectionBudget* m_budget = nullptr;
    };

    // limit_cap: the most the descriptors allow (connections_for_descriptors). stop wakes the
    // waits.
    ConnectionBudget(size_t limit_cap, std::stop_token stop, size_t start = k_budget_start);
    // Measures the process's descriptors now.
    static size_t cap_from_descriptors();
    ConnectionBudget(const ConnectionBudget&) = delete;
    ConnectionBudget& operator=(const ConnectionBudget&) = delete;

    // A slot for a request, waiting until one is free, `until` passes (nothing) or stop is
    // requested (nothing). While it waits, idle early connections are closed to free theirs.
    std::optional<Slot> acquire(std::chrono::steady_clock::time_point until);
    // Announces `requests` about to ask for slots (see Coming).
    Coming expect(size_t requests);
    // A slot for an early connection, only when one is free beyond those that waiting and
    // coming requests need.
    std::optional<Slot> try_acquire_early();
    // A request took over the slot of the early connection it is sent over: it counts as a
    // slot granted to a request announced as coming.
    void took_over();
    // Registers an idle early connection that may be asked to give its slot back.
    void offer(const std::shared_ptr<Reclaimable>& idle);
    // Closes every idle early connection offered (their slots are wanted, or their server
    // stopped answering new handshakes).
    void reclaim_idle();

    // A request was answered: one more connection at once, up to the most.
    void answered();
    // The world pushed back: half as many at once, down to one.
    void pushed_back();

    // Slots held now (requests and early connections).
    size_t in_use() const;
    size_t limit() const;
    // Waits for `pause` or until stop is requested (false).
    bool pause(std::chrono::milliseconds pause);

  private:
    struct WakeAll {
        ConnectionBudget* self;
        void operator()() const noexcept;
    };
    void give_back();
    // A request announced as coming has its slot (lock held).
    void count_granted();
    // The first idle early connection still alive, taken off the list (lock held).
    std::shared_ptr<Reclaimable> take_idle();

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    const size_t m_cap;
    size_t m_limit;
    size_t m_in_use = 0;
    size_t m_waiting = 0;
    // Per announcement (oldest first), its requests not yet granted a slot. A slot granted
    // counts against the oldest announcement with requests left.
    std::list<size_t> m_announced;
    std::list<std::weak_ptr<Reclaimable>> m_idle;
    std::stop_token m_stop;
    std::stop_callback<WakeAll> m_wake;
};

}  // namespace tessarin
