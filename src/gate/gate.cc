#include "src/gate/gate.h"

#include <algorithm>
#include <random>
#include <thread>

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

// Message 2 opened from a 2xx reply, and the gate's answer read from it.
Result<json> open_reply(noise::GateExchange& exchange, const HttpResponse& reply) {
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

// The reads: sending one again does nothing the first did not.
bool is_read(std::string_view action) {
    for (std::string_view read :
         {"search.query", "entry.get", "search.similar", "ext.totp", "audit.list"})
        if (action == read)
            return true;
    return false;
}

// A refusal by the front door (a limiter's status, no reply of the gate's).
bool is_front_door_refusal(const CliError& error) {
    return error.outcome == GateOutcome::refused &&
           (error.http_status == 429 || error.http_status == 503);
}

uint32_t jitter_draw() {
    thread_local std::minstd_rand draw(std::random_device{}());
    return static_cast<uint32_t>(draw());
}

}  // namespace

namespace {

// One attempt, within timeout; the Retry-After of a refusal and whether the client ran out of
// descriptors are kept beside the result.
struct Attempt {
    Result<json> result;
    std::string retry_after;
    bool exhausted = false;
};

// A fresh exchange: made ahead while an earlier request was answered, or made here.
Result<noise::GateExchange> new_exchange(const GateEndpoint& gate, ExchangesAhead* ahead) {
    if (ahead)
        if (std::optional<noise::GateExchange> made = ahead->take(gate.public_key))
            return std::move(*made);
    auto fresh = noise::GateExchange::with_fresh_keys();
    if (fresh.is_error())
        return rng_failure(fresh.error());
    return fresh.release_value();
}

Attempt request_once(HttpClient& http, const GateEndpoint& gate, std::string_view token,
                     std::string_view action, const json& argument, EarlyConnections early,
                     std::chrono::milliseconds timeout, std::chrono::milliseconds connect_timeout,
                     ExchangesAhead* ahead) {
    auto failed = [](CliError e) { return Attempt{std::move(e)}; };
    auto made = new_exchange(gate, ahead);
    if (made.is_error())
        return failed(made.release_error());
    noise::GateExchange exchange = made.release_value();
    auto payload = build_request_payload(action, token, argument);
    if (payload.is_error())
        return failed(envelope_failure(payload.release_error()));
    // A request that others certainly follow makes the next one's exchange while it is
    // answered.
    if (ahead && (early.open || !early.open_next.empty()))
        early.meanwhile = [ahead, &gate] { ahead->prepare(gate.public_key); };
    auto message1 = exchange.write_message1(gate.public_key, payload.value().expose_secret());
    if (message1.is_error())
        return failed(
            in_context(TS_2047, "handshake msg1: ", InnerForm::debug)(message1.release_error()));
    const std::string body = base64_encode(message1.value());

    auto posted =
        http.post(gate.url, "text/plain", body, timeout, k_max_reply_body, early, connect_timeout);
    if (posted.is_error()) {
        const bool exhausted = posted.error().exhausted;
        return Attempt{post_failure(posted.release_error()), {}, exhausted};
    }
    HttpResponse reply = posted.release_value();
    if (reply.status < 200 || reply.status > 299)
        return Attempt{refused(reply.status), std::move(reply.retry_after)};
    return Attempt{open_reply(exchange, reply)};
}

}  // namespace

Result<json> gate_request(HttpClient& http, const GateEndpoint& gate, std::string_view token,
                          std::string_view action, const json& argument, EarlyConnections early) {
    return request_once(http, gate, token, action, argument, early,
                        std::chrono::duration_cast<std::chrono::milliseconds>(k_request_timeout),
                        {}, nullptr)
        .result;
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

std::chrono::milliseconds retry_pause(std::string_view retry_after, int tries, uint32_t random) {
    using std::chrono::milliseconds;
    const std::string_view seconds = trim_space(retry_after);
    if (!seconds.empty() && seconds.size() <= 9 &&
        seconds.find_first_not_of("0123456789") == std::string_view::npos) {
        const long long value = std::stoll(std::string(seconds));
        return std::clamp(milliseconds(value * 1000), k_retry_pause_base, k_retry_after_cap);
    }
    const milliseconds base = k_retry_pause_base * (1LL << std::clamp(tries, 0, k_retry_doublings));
    const milliseconds jitter(random % (base.count() + 1));
    return base + jitter;
}

namespace {

// One gate, within the request's bound: a read the front door refuses is sent again on a new
// connection after a pause while the command's requests are answered (a limiter), at most
// k_quick_retries times otherwise (a gate gone dark behind its proxy).
Attempt ask(HttpClient& http, GateRoute& route, GateRole role, const GateEndpoint& gate,
            std::string_view token, std::string_view action, const json& argument,
            EarlyConnections early, std::chrono::milliseconds connect_timeout) {
    using std::chrono::milliseconds;
    const auto end = std::chrono::steady_clock::now() + k_request_timeout;
    ConnectionBudget* budget = http.budget();
    for (int tries = 0, quick = 0;; ++tries) {
        const auto left = std::chrono::ceil<milliseconds>(end - std::chrono::steady_clock::now());
        Attempt attempt =
            request_once(http, gate, token, action, argument, early,
                         std::max(left, milliseconds(1)), connect_timeout, &route.ahead());
        early = {};  // the early connections serve the first try only
        if (!attempt.result.is_error()) {
            route.answered(role);
            if (budget)
                budget->answered();
            return attempt;
        }
        if (!is_front_door_refusal(attempt.result.error()))
            return attempt;
        if (budget)
            budget->pushed_back();
        // A write went out: the gate behind the front door may have applied it.
        if (!is_read(action))
            return attempt;
        const bool limiter = route.answered_lately(role);
        if (!limiter && ++quick > k_quick_retries)
            return attempt;
        const milliseconds pause = limiter ? retry_pause(attempt.retry_after, tries, jitter_draw())
                                           : retry_pause({}, 0, jitter_draw());
        if (std::chrono::steady_clock::now() + pause >= end)
            return attempt;
        if (budget) {
            if (!budget->pause(pause))
                return attempt;
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
}

}  // namespace

Result<json> gate_call(HttpClient& http, const LoadedConfig& config, GateRoute& route,
                       std::string_view action, const json& argument, EarlyConnections early) {
    using std::chrono::milliseconds;
    const std::string_view token = config.expose_token();
    if (config.replica && route.primary_down())
        return ask(http, route, GateRole::replica, *config.replica, token, action, argument, {}, {})
            .result;
    const milliseconds connect_timeout =
        config.replica ? milliseconds(k_primary_connect_timeout) : milliseconds(0);
    Attempt primary = ask(http, route, GateRole::primary, config.primary, token, action, argument,
                          early, connect_timeout);
    if (!primary.result.is_error() || !config.replica)
        return std::move(primary.result);
    const bool create = is_create(action, argument);
    const CliError& failure = primary.result.error();
    if (!justifies_failover(failure, create)) {
        if (!create || !justifies_failover(failure, false))
            return std::move(primary.result);
        CliError error = primary.result.release_error();
        error.append_note(
            "the primary gate may have created the entry before failing, so it was not sent to "
            "the replica; `tessarin-cli find` shows whether it was");
        return error;
    }
    // Nothing sent or no answer: the primary is not there for this command's other requests
    // either. Running out of descriptors says nothing of the primary.
    if (!primary.exhausted &&
        (failure.outcome == GateOutcome::not_sent || failure.outcome == GateOutcome::unanswered))
        route.mark_primary_down();
    if (route.first_notice())
        write_notice("gate: primary unreachable, trying replica\n");
    return ask(http, route, GateRole::replica, *config.replica, token, action, argument, {}, {})
        .result;
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
