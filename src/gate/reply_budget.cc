#include "src/gate/reply_budget.h"

#include <algorithm>

namespace tessarin {

std::optional<size_t> ReplyBudget::take(size_t bytes, std::stop_token stop) {
    // A reply bigger than the whole budget waits for all of it, then takes it all.
    const size_t wanted = std::min(bytes, m_total);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_freed.wait(lock, stop, [&] { return m_free >= wanted; }))
        return std::nullopt;
    m_free -= wanted;
    return wanted;
}

void ReplyBudget::give_back(size_t bytes) {
    if (bytes == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free += bytes;
    }
    m_freed.notify_all();
}

BasicResult<HttpResponse, HttpError> BudgetedHttpClient::post(
    const std::string& url, std::string_view content_type, std::string_view body,
    std::chrono::milliseconds timeout, size_t max_body, EarlyConnections early,
    std::chrono::milliseconds connect_timeout) {
    // The previous reply has been read by now; holding it while this request waits for its
    // answer (and perhaps for the budget) could leave every task waiting on the others.
    release();
    auto reply = m_inner.post(url, content_type, body, timeout, max_body, early, connect_timeout);
    if (reply.is_error())
        return reply;
    auto taken = m_budget.take(reply.value().body.size(), m_stop);
    if (!taken)
        return HttpError{"the command stopped before the reply could be read", true, true};
    m_held = *taken;
    return reply;
}

void BudgetedHttpClient::release() {
    m_budget.give_back(m_held);
    m_held = 0;
}

}  // namespace tessarin
