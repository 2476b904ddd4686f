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

CliError rng_failure(const OsError& error) {
    return CliError(TS_2047, "rng: " + error.message());
}

CliError envelope_failure(EnvelopeError error) {
    return CliError(TS_2047, std::move(error.detail));
}

CliError post_failure(HttpError error) {
    return CliError(TS_2020, "POST /gate: " + error.message);
}

}  // namespace

Result<json> gate_request(HttpClient& http, const GateEndpoint& gate, std::string_view token,
                          std::string_view action, const json& argument) {
    // The two random draws happen in this order: the static key, then the ephemeral key.
    SecretBytes s = TRY_OR(noise::random_private_key(), rng_failure);
    SecretBytes payload = TRY_OR(build_request_payload(action, token, argument), envelope_failure);
    SecretBytes e = TRY_OR(noise::random_private_key(), rng_failure);

    noise::GateExchange exchange(std::move(e), std::move(s));
    Bytes message1 = TRY_OR(exchange.write_message1(gate.public_key, payload.expose_secret()),
                            lift_debug(TS_2047, "handshake msg1: "));
    const std::string body = base64_encode(message1);

    HttpResponse reply = TRY_OR(
        http.post(gate.url, "text/plain", body, k_request_timeout, k_max_reply_body), post_failure);
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
    SecretBytes opened =
        TRY_OR(exchange.read_message2(message2.value()), lift_debug(TS_2047, "open msg2: "));

    Reply r = TRY_OR(decode_reply(opened.expose_secret(), k_max_reply_payload),
                     lift_debug(TS_2047, "decode reply: "));
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
    write_notice("gate: primary unreachable, trying replica\n");
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
