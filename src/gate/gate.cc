#include "src/gate/gate.h"

#include "crypto/core/base64.h"
#include "crypto/core/token.h"
#include "crypto/core/utf8.h"
#include "crypto/noise/handshake.h"
#include "src/gate/reply.h"
#include "src/output.h"
#include "src/text.h"

namespace tessarin {

using nlohmann::json;

namespace {

CliError core_debug(std::string context, CoreError inner) {
    return with_debug(TS_2047, std::move(context), inner);
}

}  // namespace

Result<json> gate_request(HttpClient& http, const GateEndpoint& gate, std::string_view token,
                          std::string_view action, const json& argument) {
    // The two random draws happen in this order: the static key, then the ephemeral key.
    auto s = noise::random_private_key();
    if (s.is_error())
        return CliError(TS_2047, "rng: " + s.error().message());
    auto payload = build_request_payload(action, token, argument);
    if (payload.is_error())
        return CliError(TS_2047, payload.error().detail);
    auto e = noise::random_private_key();
    if (e.is_error())
        return CliError(TS_2047, "rng: " + e.error().message());

    noise::GateExchange exchange(e.release_value(), s.release_value());
    auto message1 = exchange.write_message1(gate.public_key, payload.value().expose_secret());
    if (message1.is_error())
        return core_debug("handshake msg1: ", message1.error());
    const std::string body = base64_encode(message1.value());

    auto response = http.post(gate.url, "text/plain", body, k_request_timeout, k_max_reply_body);
    if (response.is_error())
        return CliError(TS_2020, "POST /gate: " + response.error().message);
    const HttpResponse& reply = response.value();
    if (reply.status < 200 || reply.status > 299)
        return CliError(TS_2047, "gate refused the handshake (HTTP " +
                                     std::to_string(reply.status) +
                                     ") \u2014 wrong pubkey or dark gate");
    if (reply.oversize || reply.body.size() > k_max_reply_body)
        return CliError(TS_2021, "gate response exceeds " + std::to_string(k_max_reply_body) +
                                     " bytes (" + std::to_string(reply.body_length) +
                                     ") \u2014 refuse to buffer");
    if (auto fault = utf8_check(reply.body))
        return CliError(TS_2021, "read msg2: " + fault->message());
    auto message2 = base64_decode_checked(trim_space(reply.body));
    if (message2.is_error())
        return CliError(TS_2047, "msg2 not base64: " + message2.error().message());
    auto opened = exchange.read_message2(message2.value());
    if (opened.is_error())
        return core_debug("open msg2: ", opened.error());

    auto decoded = decode_reply(opened.value().expose_secret(), k_max_reply_payload);
    if (decoded.is_error())
        return core_debug("decode reply: ", decoded.error());
    Reply& r = decoded.value();
    if (r.ok)
        return std::move(r.result);
    if (!r.error)
        return CliError(TS_2047, "gate error UNKNOWN: no detail");
    return CliError(TS_2047, "gate error " + r.error->code + ": " + r.error->message);
}

bool justifies_failover(const CliError& error) {
    if (error.error == &TS_2020)
        return true;
    const std::string text = error.display();
    for (std::string_view marker : {"HTTP 502", "HTTP 503", "HTTP 504", "dark gate"})
        if (text.find(marker) != std::string::npos)
            return true;
    return false;
}

Result<json> gate_call(HttpClient& http, const LoadedConfig& config, std::string_view action,
                       const json& argument) {
    auto primary = gate_request(http, config.primary, config.expose_token(), action, argument);
    if (!primary.is_error() || !config.replica || !justifies_failover(primary.error()))
        return primary;
    write_stderr("gate: primary unreachable, trying replica\n");
    return gate_request(http, *config.replica, config.expose_token(), action, argument);
}

Result<json> gate_call(const LoadedConfig& config, std::string_view action, const json& argument) {
    auto http = make_https_client();
    return gate_call(*http, config, action, argument);
}

std::optional<std::string> quota_warning(const Quota& q) {
    std::string parts;
    if (q.minute_limit != 0)
        parts +=
            std::to_string(q.minute_used) + "/" + std::to_string(q.minute_limit) + " this minute";
    if (q.hour_limit != 0) {
        if (!parts.empty())
            parts += ", ";
        parts += std::to_string(q.hour_used) + "/" + std::to_string(q.hour_limit) + " this hour";
    }
    if (parts.empty())
        return std::nullopt;
    std::string line = "read quota: " + parts;
    if (q.hour_limit != 0)
        line +=
            " \u2014 every search and read counts; reaching the hourly limit twice locks this "
            "agent";
    return line;
}

}  // namespace tessarin
