// Noise exchanges made ahead: while a request that others follow is answered, the client works
// out the next request's message 1 up to its payload (two key pairs and two X25519
// operations), so that the next request, once its payload is known, only seals it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "crypto/noise/handshake.h"
#include "src/base/at_once.h"

namespace tessarin {

class ExchangesAhead {
  public:
    // Prepares one exchange for the gate with static key rs, unless `most` are waiting already.
    // Nothing is kept when a key cannot be drawn or the gate's key is refused: the request
    // that would take it makes its own and meets the same error there.
    void prepare(const std::array<uint8_t, 32>& rs);
    // An exchange prepared for rs, or nothing.
    std::optional<noise::GateExchange> take(const std::array<uint8_t, 32>& rs);

    // The most kept at once: as many as the requests a command makes at once.
    static constexpr size_t most = k_requests_at_once;

  private:
    struct Prepared {
        std::array<uint8_t, 32> rs;
        noise::GateExchange exchange;
    };
    std::mutex m_mutex;
    std::vector<Prepared> m_ready;
};

}  // namespace tessarin
