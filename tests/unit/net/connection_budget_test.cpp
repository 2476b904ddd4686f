#include "src/net/connection_budget.h"

#include <gtest/gtest.h>

#include <vector>

namespace tessarin {
namespace {

using std::chrono::milliseconds;

auto soon() {
    return std::chrono::steady_clock::now() + milliseconds(20);
}

TEST(ConnectionBudget, DescriptorsLeftBoundTheConnections) {
    struct Case {
        long limit, open;
        size_t expected;
    } cases[] = {
        {12, 3, 1},                // `ulimit -n 12`: one at a time
        {12, 11, 1},               // none to spare: still one, to try
        {40, 4, 10},               // (40 - 4 - margin 4) / 3 each
        {1024, 5, k_budget_most},  // never more than the most
        {1 << 20, 3, k_budget_most},
    };
    for (const Case& c : cases)
        EXPECT_EQ(connections_for_descriptors(c.limit, c.open), c.expected)
            << c.limit << " " << c.open;
}

TEST(ConnectionBudget, GrowsWhenAnsweredShrinksWhenPushedBackWithinItsLimits) {
    struct Case {
        size_t cap, start;
        std::vector<char> events;  // '+' answered, '-' pushed back
        size_t expected;
    } cases[] = {
        {k_budget_most, k_budget_start, {}, k_budget_start},
        {16, 4, {'+', '+'}, 6},
        {16, 4, std::vector<char>(30, '+'), 16},
        {16, 4, {'-'}, 2},
        {16, 4, {'-', '-', '-', '-'}, 1},
        {16, 4, {'-', '-', '-', '+'}, 2},
        {16, 16, {'-'}, 8},
        {2, 4, {}, 2},  // the descriptors' bound holds from the start
        {2, 4, {'+', '+', '+'}, 2},
        {0, 4, {}, 1},
    };
    for (const Case& c : cases) {
        ConnectionBudget budget(c.cap, {}, c.start);
        for (char e : c.events) e == '+' ? budget.answered() : budget.pushed_back();
        EXPECT_EQ(budget.limit(), c.expected) << c.cap << " " << c.start << " " << c.events.size();
    }
}

TEST(ConnectionBudget, SlotsAreHeldUpToTheLimitAndGivenBack) {
    ConnectionBudget budget(16, {}, 2);
    auto a = budget.acquire(soon());
    auto b = budget.acquire(soon());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(budget.in_use(), 2u);
    EXPECT_FALSE(budget.acquire(soon()));      // waits until `until`, then nothing
    EXPECT_FALSE(budget.try_acquire_early());  // an early connection never waits
    a.reset();
    EXPECT_EQ(budget.in_use(), 1u);
    EXPECT_TRUE(budget.acquire(soon()));
}

// An idle early connection: gives its slot back when the budget asks.
struct Idle final : ConnectionBudget::Reclaimable {
    ConnectionBudget::Slot slot;
    int reclaimed = 0;
    void reclaim() override {
        ++reclaimed;
        slot.release();
    }
};

TEST(ConnectionBudget, AWaitingRequestTakesTheSlotOfAnIdleEarlyConnection) {
    ConnectionBudget budget(16, {}, 1);
    auto idle = std::make_shared<Idle>();
    idle->slot = std::move(*budget.try_acquire_early());
    budget.offer(idle);
    auto slot = budget.acquire(soon());
    EXPECT_TRUE(slot);
    EXPECT_EQ(idle->reclaimed, 1);
    EXPECT_FALSE(idle->slot.held());
    // Once gone, an early connection is not asked again.
    slot.reset();
    auto gone = std::make_shared<Idle>();
    gone->slot = std::move(*budget.try_acquire_early());
    budget.offer(gone);
    gone->slot.release();
    gone.reset();
    EXPECT_TRUE(budget.acquire(soon()));
}

TEST(ConnectionBudget, EarlyConnectionsLeaveTheSlotsOfRequestsAboutToStart) {
    ConnectionBudget budget(16, {}, 4);
    {
        auto coming = budget.expect(3);
        auto first = budget.acquire(soon());
        ASSERT_TRUE(first);
        // One slot held, two still promised: one left for an early connection.
        auto early = budget.try_acquire_early();
        EXPECT_TRUE(early);
        EXPECT_FALSE(budget.try_acquire_early());
        auto second = budget.acquire(soon());
        auto third = budget.acquire(soon());
        EXPECT_TRUE(second && third);
        EXPECT_EQ(budget.in_use(), 4u);
    }
    // An announcement that ends gives back what its requests never took.
    {
        auto coming = budget.expect(4);
        EXPECT_FALSE(budget.try_acquire_early());
    }
    EXPECT_TRUE(budget.try_acquire_early());
}

TEST(ConnectionBudget, StopEndsTheWaits) {
    std::stop_source stop;
    ConnectionBudget budget(16, stop.get_token(), 1);
    auto held = budget.acquire(soon());
    ASSERT_TRUE(held);
    stop.request_stop();
    EXPECT_FALSE(budget.acquire(std::chrono::steady_clock::now() + std::chrono::hours(1)));
    EXPECT_FALSE(budget.pause(std::chrono::hours(1)));
    EXPECT_FALSE(budget.try_acquire_early());
}

}  // namespace
}  // namespace tessarin
