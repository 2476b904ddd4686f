#include "src/gate/gate.h"

#include "crypto/core/base64.h"
#include "crypto/core/token.h"
#include "crypto/core/utf8.h"
#include "crypto/noise/handshake.h"
#include "src/base/text.h"
#include "src/gate/reply.h"
#include "src/term/output.h"

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
    CliError failure(TS_2020, "POST /gate: " + error.message);
    failure.outcome = error.stopped ? GateOutcome::abandoned
                      : error.sent  ? GateOutcome::unanswered
                                    : GateOutcome::not_sent;
    return failure;
}

// What a refusal most likely means, by its status: a gate that does not know our key answers
// like a dark one (400, 404); 429 is its rate limit; 502 to 504 come from the gate or the proxy
// in front of it. Any other status gets no guess.
std::string_view refusal_reason(long status) {
    switch (status) {
        case 400:
        case 404:
            return " \u2014 wrong pubkey or dark gate";
        case 429:
            return " \u2014 rate limited";
        case 502:
        case 503:
        case 504:
            return " \u2014 the gate or its proxy is unavailable";
        default:
            return "";
    }
}

CliError refused(long status) {
    CliError failure(TS_2047, "gate refused the handshake (HTTP " + std::to_string(status) + ")" +
                                  std::string(refusal_reason(status)));
    failure.outcome = GateOutcome::refused;
    failure.http_status = status;
    return failure;
}

// The gate's own error. One that names an unreachable upstream (a proxy's 502, 503 or 504, a
// dark gate behind it) is a reason to try the replica like a refusal of our own.
CliError gate_error(std::string_view code, std::string_view message) {
    std::string text = std::string(code) + ": " + std::string(message);
    CliError failure(TS_2047, "gate error " + text);
    for (std::string_view marker : {"HTTP 502", "HTTP 503", "HTTP 504", "dark gate"})
        if (text.find(marker) != std::string::npos)
            failure.outcome = GateOutcome::gate_unavailable;
    return failure;
}

// An entry.upsert without an id makes a new entry: repeating it where the first may have
// been applied would make two.
bool is_create(std::string_view action, const json& argument) {
    return action == "entry.upsert" && !(argument.is_object() && argument.contains("id"));
}

}  // namespace

Result<json> gate_request(HttpClient& http, const GateEndpoint& gate, std::string_view token,
                          std::string_view action, const json& argument, EarlyConnections early) {
    // The two random draws happen in this order: the static key, then the ephemeral key.
    SecretBytes s = TRY_OR(noise::random_private_key(), rng_failure);
    SecretBytes payload = TRY_OR(build_request_payload(action, token, argument), envelope_failure);
    SecretBytes e = TRY_OR(noise::random_private_key(), rng_failure);

    noise::GateExchange exchange(std::move(e), std::move(s));
    Bytes message1 = TRY_OR(exchange.write_message1(gate.public_key, payload.expose_secret()),
                            in_context(TS_2047, "handshake msg1: ", InnerForm::debug));
    const std::string body = base64_encode(message1);

    HttpResponse reply =
        TRY_OR(http.post(gate.url, "text/plain", body, k_request_timeout, k_max_reply_body, early),
               post_failure);
    if (reply.status < 200 || reply.status > 299)
        return refused(reply.status);
    if (reply.oversize || reply.body.size() > k_max_reply_body)
        return CliError(TS_2021, "gate response exceeds " + std::to_string(k_max_reply_body) +
                                     " bytes (" + std::to_string(reply.body_length) +
                                     ") \u2014 refuse to buffer");
    if (auto fault = utf8_check(reply.body))
        return CliError(TS_2021, "read msg2: " + fault->message());
    auto message2 = base64_decode_checked(trim_space(reply.body));
    if (message2.is_error())
        return CliError(TS_2047, "msg2 not base64: " + message2.error().message());
    SecretBytes opened = TRY_OR(exchange.read_message2(message2.value()),
                                in_context(TS_2047, "open msg2: ", InnerForm::debug));

    Reply r = TRY_OR(decode_reply(opened.expose_secret(), k_max_reply_payload),
                     in_context(TS_2047, "decode reply: ", InnerForm::debug));
    if (r.ok)
        return std::move(r.result);
    if (!r.error)
        return gate_error("UNKNOWN", "no detail");
    return gate_error(r.error->code, r.error->message);
}

bool justifies_failover(const CliError& error, bool create) {
    switch (error.outcome) {
        case GateOutcome::not_sent:
        case GateOutcome::gate_unavailable:
            // The primary did not act on the request: safe to repeat anything.
            return true;
        case GateOutcome::unanswered:
            return !create;
        case GateOutcome::refused:
            // A proxy's 502 or 504 may come after the gate took the request.
            return !create || (error.http_status != 502 && error.http_status != 504);
        case GateOutcome::none:
        case GateOutcome::abandoned:
            break;
    }
    return false;
}

Result<json> gate_call(HttpClient& http, const LoadedConfig& config, std::string_view action,
                       const json& argument, EarlyConnections early) {
    auto primary =
        gate_request(http, config.primary, config.expose_token(), action, argument, early);
    if (!primary.is_error() || !config.replica)
        return primary;
    const bool create = is_create(action, argument);
    if (!justifies_failover(primary.error(), create)) {
        if (!create || !justifies_failover(primary.error(), false))
            return primary;
        CliError error = primary.release_error();
        error.append_note(
            "the primary gate may have created the entry before failing, so it was not sent to "
            "the replica; `tessarin-cli find` shows whether it was");
        return error;
    }
    write_notice("gate: primary unreachable, trying replica\n");
    return gate_request(http, *config.replica, config.expose_token(), action, argument);
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
