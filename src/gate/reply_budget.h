// The bytes of gate replies a fan-out holds at once. A reply is charged from its arrival until
// the task that asked for it has read it and kept only what it needs: a parsed reply costs many
// times its size (a million empty objects in a 3 MB reply take some 90 MB once parsed), so a
// command with many requests in flight lets only a few big replies be read at once, while
// small ones pass without waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "src/net/http_client.h"

namespace tessarin {

class ReplyBudget {
  public:
    explicit ReplyBudget(size_t bytes) : m_total(bytes), m_free(bytes) {}
    ReplyBudget(const ReplyBudget&) = delete;
    ReplyBudget& operator=(const ReplyBudget&) = delete;

    // Takes `bytes`, at most the whole budget, waiting until they are free: what was taken, or
    // nothing when stop was requested first.
    std::optional<size_t> take(size_t bytes, std::stop_token stop);
    // Gives back what take() returned.
    void give_back(size_t bytes);

  private:
    std::mutex m_mutex;
    std::condition_variable_any m_freed;
    const size_t m_total;
    size_t m_free;
};

// The HTTP client of one task of a fan-out: it posts through `inner` and charges each reply's
// body to the budget until its next post or its end, by which time the task has read the reply.
// A task must make its requests one after another and keep nothing parsed past its next post.
class BudgetedHttpClient final : public HttpClient {
  public:
    BudgetedHttpClient(HttpClient& inner, ReplyBudget& budget, std::stop_token stop)
        : m_inner(inner), m_budget(budget), m_stop(std::move(stop)) {}
    BudgetedHttpClient(const BudgetedHttpClient&) = delete;
    BudgetedHttpClient& operator=(const BudgetedHttpClient&) = delete;
    ~BudgetedHttpClient() override { release(); }

    // The inner client's outcome; a reply that arrives once the command stopped waiting for
    // the budget is dropped as a request cut short.
    BasicResult<HttpResponse, HttpError> post(
        const std::string& url, std::string_view content_type, std::string_view body,
        std::chrono::milliseconds timeout, size_t max_body, EarlyConnections early = {},
        std::chrono::milliseconds connect_timeout = {}) override;
    // The command's connection budget: the inner client's.
    ConnectionBudget* budget() override { return m_inner.budget(); }

  private:
    void release();

    HttpClient& m_inner;
    ReplyBudget& m_budget;
    std::stop_token m_stop;
    size_t m_held = 0;
};

}  // namespace tessarin
