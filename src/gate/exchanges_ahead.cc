#include "src/gate/exchanges_ahead.h"

#include <utility>

namespace tessarin {

void ExchangesAhead::prepare(const std::array<uint8_t, 32>& rs) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ready.size() >= most)
            return;
    }
    auto fresh = noise::GateExchange::with_fresh_keys();
    if (fresh.is_error())
        return;
    noise::GateExchange exchange = fresh.release_value();
    if (exchange.prepare(rs).is_error())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ready.push_back(Prepared{rs, std::move(exchange)});
}

std::optional<noise::GateExchange> ExchangesAhead::take(const std::array<uint8_t, 32>& rs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_ready.begin(); it != m_ready.end(); ++it)
        if (it->rs == rs) {
            noise::GateExchange exchange = std::move(it->exchange);
            m_ready.erase(it);
            return exchange;
        }
    return std::nullopt;
}

}  // namespace tessarin
