// One vault action: the request envelope sealed in Noise message 1, posted as base64 text to
// the gate, and the reply opened from message 2; with one failover to the replica gate.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "src/base/errors.h"
#include "src/config/config.h"
#include "src/gate/records.h"
#include "src/net/http_client.h"

namespace tessarin {

inline constexpr size_t k_max_reply_body = 4194304;
inline constexpr size_t k_max_reply_payload = 8388608;
inline constexpr std::chrono::seconds k_request_timeout{20};

// One attempt against one gate. argument null sends no "content". early: the early connections
// the request uses or opens (see EarlyConnections).
Result<nlohmann::json> gate_request(HttpClient& http, const GateEndpoint& gate,
                                    std::string_view token, std::string_view action,
                                    const nlohmann::json& argument, EarlyConnections early = {});

// The primary, then, when its failure justifies it and a replica is configured, the replica
// once. Prints "gate: primary unreachable, trying replica" on standard error before that.
// Safe to call from several threads at once (each call is a request of its own). The early
// connections, made for the primary, take part in the request to the primary only.
Result<nlohmann::json> gate_call(HttpClient& http, const LoadedConfig& config,
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
