#include "src/gate/reply_budget.h"

#include <gtest/gtest.h>

#include <future>
#include <stop_token>
#include <string>

namespace tessarin {
namespace {

// Answers every post with a body of the size asked for next.
class SizedReplies final : public HttpClient {
  public:
    size_t next_size = 0;
    BasicResult<HttpResponse, HttpError> post(const std::string&, std::string_view,
                                              std::string_view, std::chrono::milliseconds, size_t,
                                              EarlyConnections,
                                              std::chrono::milliseconds) override {
        HttpResponse r;
        r.status = 200;
        r.body.assign(next_size, 'x');
        r.body_length = next_size;
        return r;
    }
};

// Whether `bytes` can be taken from the budget at once (and gives them back).
bool free_now(ReplyBudget& budget, size_t bytes) {
    std::stop_source stop;
    stop.request_stop();
    auto taken = budget.take(bytes, stop.get_token());
    if (taken)
        budget.give_back(*taken);
    return taken.has_value();
}

TEST(ReplyBudget, TakesAtMostTheWholeBudgetAndWaitsForWhatIsHeld) {
    ReplyBudget budget(100);
    EXPECT_EQ(budget.take(60, {}), 60u);
    EXPECT_TRUE(free_now(budget, 40));
    EXPECT_FALSE(free_now(budget, 41));
    // A taker that must wait gets its bytes once they are given back.
    auto later = std::async(std::launch::async, [&] { return budget.take(1000, {}); });
    budget.give_back(60);
    EXPECT_EQ(later.get(), 100u);  // more than the budget: all of it
    EXPECT_FALSE(free_now(budget, 1));
    budget.give_back(100);
    EXPECT_TRUE(free_now(budget, 100));
}

TEST(ReplyBudget, StopEndsTheWait) {
    ReplyBudget budget(10);
    ASSERT_EQ(budget.take(10, {}), 10u);
    std::stop_source stop;
    auto waiting = std::async(std::launch::async, [&] { return budget.take(1, stop.get_token()); });
    stop.request_stop();
    EXPECT_EQ(waiting.get(), std::nullopt);
}

TEST(BudgetedHttpClient, HoldsEachReplyUntilTheNextPostOrItsEnd) {
    SizedReplies inner;
    ReplyBudget budget(100);
    {
        BudgetedHttpClient client(inner, budget, {});
        inner.next_size = 70;
        ASSERT_FALSE(client.post("u", "text/plain", "", {}, 0).is_error());
        EXPECT_FALSE(free_now(budget, 31));
        EXPECT_TRUE(free_now(budget, 30));
        // The next post gives the first reply back before it charges its own.
        inner.next_size = 100;
        ASSERT_FALSE(client.post("u", "text/plain", "", {}, 0).is_error());
        EXPECT_FALSE(free_now(budget, 1));
    }
    EXPECT_TRUE(free_now(budget, 100));
}

TEST(BudgetedHttpClient, AReplyThatCannotBeChargedBeforeStopIsARequestCutShort) {
    SizedReplies inner;
    inner.next_size = 10;
    ReplyBudget budget(10);
    ASSERT_EQ(budget.take(10, {}), 10u);
    std::stop_source stop;
    stop.request_stop();
    BudgetedHttpClient client(inner, budget, stop.get_token());
    auto r = client.post("u", "text/plain", "", {}, 0);
    ASSERT_TRUE(r.is_error());
    EXPECT_TRUE(r.error().stopped);
    EXPECT_TRUE(r.error().sent);
}

}  // namespace
}  // namespace tessarin
