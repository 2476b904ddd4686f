// One vault action: the request envelope sealed in Noise message 1, posted as base64 text to
// the gate, and the reply opened from message 2; with one failover to the replica gate.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

#include "src/config.h"
#include "src/errors.h"
#include "src/gate/http_client.h"
#include "src/gate/records.h"

namespace tessarin {

inline constexpr size_t k_max_reply_body = 4194304;
inline constexpr size_t k_max_reply_payload = 8388608;
inline constexpr std::chrono::seconds k_request_timeout{20};

// One attempt against one gate. argument null sends no "content".
Result<nlohmann::json> gate_request(HttpClient& http, const GateEndpoint& gate,
                                    std::string_view token, std::string_view action,
                                    const nlohmann::json& argument);

// The primary, then, when its failure says the gate is unreachable or refusing (TS-2020,
// "HTTP 502", "HTTP 503", "HTTP 504", "dark gate") and a replica is configured, the replica
// once. Prints "gate: primary unreachable, trying replica" on standard error before that.
Result<nlohmann::json> gate_call(HttpClient& http, const LoadedConfig& config,
                                 std::string_view action, const nlohmann::json& argument);
// gate_call over the program's HTTPS client.
Result<nlohmann::json> gate_call(const LoadedConfig& config, std::string_view action,
                                 const nlohmann::json& argument);

// Whether a failure of the primary justifies trying the replica.
bool justifies_failover(const CliError& error);

// "read quota: 12/60 this minute, 340/600 this hour — every search and read counts; ...",
// or nothing when neither window is limited.
std::optional<std::string> quota_warning(const Quota& quota);

}  // namespace tessarin
