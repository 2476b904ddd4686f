// One vault action: the request envelope sealed in Noise message 1, posted as base64 text to
// the gate, and the reply opened from message 2; with one failover to the replica gate.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/config/config.h"
#include "src/gate/exchanges_ahead.h"
#include "src/gate/records.h"
#include "src/net/http_client.h"

namespace tessarin {

inline constexpr size_t k_max_reply_body = 4194304;
inline constexpr size_t k_max_reply_payload = 8388608;
inline constexpr std::chrono::seconds k_request_timeout{20};
// With a replica to turn to, how long the primary has to resolve, connect and finish the TLS
// handshake: a primary that drops connection attempts is given up in seconds, not at the
// request's bound. A handshake takes a round trip or two even on a slow network.
inline constexpr std::chrono::seconds k_primary_connect_timeout{3};
// The longest pause a front door's Retry-After is honoured for: longer ones are cut to this, so
// a read still gets several tries within its bound.
inline constexpr std::chrono::milliseconds k_retry_after_cap{5000};
// The first pause before a refused read is sent again when the front door names none; it
// doubles with each try, k_retry_doublings times at most, and is jittered up to twice itself.
// Short: a rate limiter lets requests through at its pace and keeps no more than its burst
// for later, so a long pause only leaves its rate unused; the budget's halving already keeps
// the command's requests at once to one.
inline constexpr std::chrono::milliseconds k_retry_pause_base{100};
inline constexpr int k_retry_doublings = 2;
// Quick tries a read refused by the front door gets while none of the command's requests has
// been answered lately: a gate down behind a proxy answering 503 fails over within a second.
inline constexpr int k_quick_retries = 2;
// How recent an answer to the command must be for a refusal to read as a rate limiter.
inline constexpr std::chrono::seconds k_answer_memory{5};

// Which of the agent's gates a request goes to.
enum class GateRole { primary, replica };

// What a command learns of its gates as its requests go, shared by its threads: the primary
// found unreachable (the command's later requests go straight to the replica), whether the
// failover notice was printed, and when each gate last answered.
class GateRoute {
  public:
    bool primary_down() const { return m_primary_down.load(); }
    void mark_primary_down() { m_primary_down.store(true); }
    // True the first time only: the failover notice is printed once per command.
    bool first_notice() { return !m_noticed.exchange(true); }
    void answered(GateRole role) { last(role).store(now()); }
    // Whether the gate answered one of the command's requests within k_answer_memory.
    bool answered_lately(GateRole role) const {
        const auto at = last(role).load();
        return at != 0 && now() - at < std::chrono::steady_clock::duration(k_answer_memory).count();
    }
    // The exchanges made ahead for the command's requests still to come.
    ExchangesAhead& ahead() { return m_ahead; }

  private:
    using Ticks = std::chrono::steady_clock::rep;
    static Ticks now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
    std::atomic<Ticks>& last(GateRole role) {
        return role == GateRole::primary ? m_primary_answer : m_replica_answer;
    }
    const std::atomic<Ticks>& last(GateRole role) const {
        return role == GateRole::primary ? m_primary_answer : m_replica_answer;
    }

    std::atomic<bool> m_primary_down{false};
    std::atomic<bool> m_noticed{false};
    std::atomic<Ticks> m_primary_answer{0};
    std::atomic<Ticks> m_replica_answer{0};
    ExchangesAhead m_ahead;
};

// The pause before a read refused by the front door is sent again. retry_after: the header's
// value (delta-seconds honoured up to k_retry_after_cap; empty or a date: not given). Without
// it: k_retry_pause_base doubled `tries` times (at most k_retry_doublings), plus a jitter of up
// to as much again drawn from random.
std::chrono::milliseconds retry_pause(std::string_view retry_after, int tries, uint32_t random);

// One attempt against one gate. argument null sends no "content". early: the early connections
// the request uses or opens (see EarlyConnections).
Result<nlohmann::json> gate_request(HttpClient& http, const GateEndpoint& gate,
                                    std::string_view token, std::string_view action,
                                    const nlohmann::json& argument, EarlyConnections early = {});

// The primary, then, when its failure justifies it and a replica is configured, the replica
// once. Prints "gate: primary unreachable, trying replica" on standard error before that,
// once per route (command); once the primary was found unreachable (nothing sent, or no
// answer) the route's later requests go straight to the replica. A read refused by the front
// door (HTTP 429 or 503, no reply of the gate's) is sent again after retry_pause within its
// bound while the command's other requests are answered; otherwise after k_quick_retries.
// Safe to call from several threads at once (each call is a request of its own). The early
// connections, made for the primary, take part in the first request to the primary only.
Result<nlohmann::json> gate_call(HttpClient& http, const LoadedConfig& config, GateRoute& route,
                                 std::string_view action, const nlohmann::json& argument,
                                 EarlyConnections early = {});

// Whether a failure of the primary justifies trying the replica, decided on what became of
// the request: nothing sent, sent and unanswered (a timeout, a cut connection), an HTTP
// refusal, or a gate error naming an unreachable upstream. A create (an upsert without an id)
// is repeated only where the primary surely did not apply it.
bool justifies_failover(const CliError& error, bool create = false);

// "read quota: 12/60 this minute, 340/600 this hour — every search and read counts; ...",
// or nothing when neither window is limited.
std::optional<std::string> quota_warning(const Quota& quota);

}  // namespace tessarin
