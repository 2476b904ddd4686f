#include "src/gate/gate.h"

#include <gtest/gtest.h>

#include <deque>

#include "crypto/core/base64.h"
#include "crypto/core/catalogue.h"

namespace tessarin {
namespace {

using nlohmann::json;

// A scripted HTTP client: answers each post with the next outcome and keeps what was sent.
class ScriptedHttp final : public HttpClient {
  public:
    struct Sent {
        std::string url, content_type, body;
    };
    std::deque<BasicResult<HttpResponse, HttpError>> outcomes;
    std::vector<Sent> sent;

    BasicResult<HttpResponse, HttpError> post(const std::string& url, std::string_view content_type,
                                              std::string_view body, std::chrono::milliseconds,
                                              size_t, EarlyConnections,
                                              std::chrono::milliseconds) override {
        sent.push_back({url, std::string(content_type), std::string(body)});
        if (outcomes.empty())
            return HttpError{"script ended"};
        auto next = std::move(outcomes.front());
        outcomes.pop_front();
        return next;
    }
    void reply(long status, std::string body) {
        HttpResponse r;
        r.status = status;
        r.body_length = body.size();
        r.body = std::move(body);
        outcomes.emplace_back(std::move(r));
    }
    void reply(long status, std::string body, std::string retry_after) {
        reply(status, std::move(body));
        outcomes.back().value().retry_after = std::move(retry_after);
    }
    void fail(std::string message, bool was_sent = false) {
        outcomes.emplace_back(HttpError{std::move(message), was_sent});
    }
};

GateEndpoint endpoint(std::string url, uint8_t key_byte) {
    GateEndpoint g;
    g.url = std::move(url);
    g.public_key.fill(key_byte);
    // A real X25519 public key: the base point (9).
    if (key_byte)
        g.public_key = {9};
    return g;
}

LoadedConfig config_with(bool replica) {
    LoadedConfig c;
    c.primary = endpoint("https://primary.example/gate", 9);
    if (replica)
        c.replica = endpoint("https://replica.example/gate", 9);
    c.agent_token = SecretBytes::from_text("tsk_" + std::string(89, 'A'));
    return c;
}

std::string detail_of(const Result<json>& r) {
    return r.is_error() ? r.error().display() : "ok";
}

TEST(GateRequest, SendsOnePostOfBase64Message1) {
    ScriptedHttp http;
    http.reply(200, "");
    LoadedConfig config = config_with(false);
    auto r = gate_request(http, config.primary, config.expose_token(), "system.ping", json());
    ASSERT_EQ(http.sent.size(), 1u);
    EXPECT_EQ(http.sent[0].url, "https://primary.example/gate");
    EXPECT_EQ(http.sent[0].content_type, "text/plain");
    auto message1 = base64_decode(http.sent[0].body);
    ASSERT_TRUE(message1);
    std::string envelope =
        "{\"action\":\"system.ping\",\"cred\":\"" + std::string(config.expose_token()) + "\"}";
    EXPECT_EQ(message1->size(), 1 + envelope.size() + 96);
    // The empty body then fails at message 2.
    EXPECT_EQ(detail_of(r), "TS-2047: open msg2: " + debug_form(TS_0010));
}

TEST(GateRequest, FailuresBeforeMessage2) {
    struct Case {
        std::function<void(ScriptedHttp&)> script;
        std::string expected;
    } cases[] = {
        {[](ScriptedHttp& h) { h.fail("Could not resolve host: nowhere"); },
         "TS-2020: POST /gate: Could not resolve host: nowhere"},
        {[](ScriptedHttp& h) { h.reply(503, "busy"); },
         "TS-2047: gate refused the handshake (HTTP 503) \u2014 the gate or its proxy is "
         "unavailable"},
        {[](ScriptedHttp& h) { h.reply(404, ""); },
         "TS-2047: gate refused the handshake (HTTP 404) \u2014 wrong pubkey or dark gate"},
        {[](ScriptedHttp& h) { h.reply(429, ""); },
         "TS-2047: gate refused the handshake (HTTP 429) \u2014 rate limited"},
        {[](ScriptedHttp& h) { h.reply(500, ""); },
         "TS-2047: gate refused the handshake (HTTP 500)"},
        {[](ScriptedHttp& h) {
             HttpResponse r;
             r.status = 200;
             r.oversize = true;
             r.body_length = 5000000;
             h.outcomes.emplace_back(std::move(r));
         },
         "TS-2021: gate response exceeds 4194304 bytes (5000000) \u2014 refuse to buffer"},
        {[](ScriptedHttp& h) { h.reply(200, "\xff"); },
         "TS-2021: read msg2: invalid utf-8 sequence of 1 bytes from index 0"},
        {[](ScriptedHttp& h) { h.reply(200, " \n "); },
         "TS-2047: open msg2: " + debug_form(TS_0010)},
        {[](ScriptedHttp& h) { h.reply(200, "AAAA\n"); },
         "TS-2047: open msg2: " + debug_form(TS_0010)},
    };
    for (auto& c : cases) {
        ScriptedHttp http;
        c.script(http);
        LoadedConfig config = config_with(false);
        EXPECT_EQ(detail_of(gate_request(http, config.primary, config.expose_token(), "entry.get",
                                         json{{"id", "x"}})),
                  c.expected);
    }
    ScriptedHttp http;
    http.reply(200, "!!!!");
    LoadedConfig config = config_with(false);
    auto r =
        gate_request(http, config.primary, config.expose_token(), "entry.get", json{{"id", "x"}});
    EXPECT_EQ(detail_of(r).rfind("TS-2047: msg2 not base64: ", 0), 0u) << detail_of(r);
}

TEST(GateRequest, RefusedBeforeAnythingIsSent) {
    ScriptedHttp http;
    LoadedConfig config = config_with(false);
    config.primary.public_key.fill(0);
    EXPECT_EQ(
        detail_of(gate_request(http, config.primary, config.expose_token(), "entry.get", json())),
        "TS-2047: handshake msg1: " + debug_form(TS_0027));
    // An action outside the accepted list, or one differing only in case.
    EXPECT_EQ(
        detail_of(gate_request(http, config.primary, config.expose_token(), "Entry.Get", json()))
            .rfind("TS-2047: encode request: ", 0),
        0u);
    EXPECT_TRUE(http.sent.empty());
}

TEST(GateCall, FailsOverOnceToTheReplica) {
    ScriptedHttp http;
    // Refused with nothing answered lately: the first try and the quick ones.
    for (int i = 0; i <= k_quick_retries; ++i) http.reply(503, "");
    http.fail("Connection refused");
    LoadedConfig config = config_with(true);
    GateRoute route;
    testing::internal::CaptureStderr();
    auto r = gate_call(http, config, route, "entry.get", json{{"id", "x"}});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "gate: primary unreachable, trying replica\n");
    // The replica's outcome is returned; the primary's error is dropped.
    EXPECT_EQ(detail_of(r), "TS-2020: POST /gate: Connection refused");
    ASSERT_EQ(http.sent.size(), 2u + k_quick_retries);
    EXPECT_EQ(http.sent.back().url, "https://replica.example/gate");
    EXPECT_NE(http.sent[0].body, http.sent.back().body);  // fresh keys and envelope
    // A refusal leaves the primary in the route: the next request goes to it again.
    EXPECT_FALSE(route.primary_down());
}

TEST(GateCall, AnUnreachablePrimaryIsRememberedForTheCommand) {
    ScriptedHttp http;
    http.fail("Connection timed out");
    http.fail("replica down");
    http.fail("replica down");
    LoadedConfig config = config_with(true);
    GateRoute route;
    testing::internal::CaptureStderr();
    (void)gate_call(http, config, route, "entry.get", json{{"id", "x"}});
    (void)gate_call(http, config, route, "search.query", json{{"q", "x"}});
    // One notice for the command; the second request went straight to the replica.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "gate: primary unreachable, trying replica\n");
    ASSERT_EQ(http.sent.size(), 3u);
    EXPECT_EQ(http.sent[2].url, "https://replica.example/gate");
}

TEST(GateCall, FrontDoorRefusalsOfReadsAreSentAgain) {
    struct Case {
        const char* name;
        std::string action;
        json argument;
        bool answered_lately;  // the command's other requests get through: a limiter
        std::function<void(ScriptedHttp&)> script;
        size_t posts;
    } cases[] = {
        {"a limiter's 429s, then another failure", "entry.get", json{{"id", "x"}}, true,
         [](ScriptedHttp& h) {
             h.reply(429, "", "0");
             h.reply(429, "");
             h.reply(503, "", "soon");
             h.fail("Connection refused");
         },
         4},
        {"a dark gate's 503s: quick tries only", "search.query", json{{"q", "x"}}, false,
         [](ScriptedHttp& h) {
             for (int i = 0; i < 6; ++i) h.reply(503, "");
         },
         1 + k_quick_retries},
        {"a write is not sent again", "entry.upsert", json{{"id", "e1"}, {"title", "t"}}, true,
         [](ScriptedHttp& h) { h.reply(429, "", "0"); }, 1},
        {"other statuses are final", "entry.get", json{{"id", "x"}}, true,
         [](ScriptedHttp& h) { h.reply(500, ""); }, 1},
        {"a reply from the gate is final", "audit.list", json::object(), true,
         [](ScriptedHttp& h) { h.reply(200, "AAAA"); }, 1},
    };
    for (auto& c : cases) {
        ScriptedHttp http;
        c.script(http);
        LoadedConfig config = config_with(false);
        GateRoute route;
        if (c.answered_lately)
            route.answered(GateRole::primary);
        auto r = gate_call(http, config, route, c.action, c.argument);
        EXPECT_TRUE(r.is_error()) << c.name;
        EXPECT_EQ(http.sent.size(), c.posts) << c.name;
    }
}

TEST(RetryPause, RetryAfterIsHonouredUpToTheCapElseShortJitteredDoubling) {
    using std::chrono::milliseconds;
    struct Case {
        std::string_view retry_after;
        int tries;
        uint32_t random;
        milliseconds expected;
    } cases[] = {
        {"2", 0, 12345, milliseconds(2000)},
        {" 3 ", 4, 0, milliseconds(3000)},
        {"0", 0, 0, k_retry_pause_base},          // not sooner than the base
        {"120", 0, 0, k_retry_after_cap},         // cut to the cap
        {"9999999999", 0, 0, milliseconds(100)},  // too long to read: not given
        {"Wed, 21 Oct 2015 07:28:00 GMT", 0, 0, milliseconds(100)},
        {"-1", 0, 0, milliseconds(100)},
        {"", 0, 0, milliseconds(100)},
        {"", 0, 100, milliseconds(200)},  // jitter up to the base again
        {"", 0, 101, milliseconds(100)},  // random wraps within the range
        {"", 1, 0, milliseconds(200)},
        {"", 1, 200, milliseconds(400)},
        {"", 2, 0, milliseconds(400)},
        {"", 3, 0, milliseconds(400)},  // doubled twice at most: short, at a limiter's pace
        {"", 40, 400, milliseconds(800)},
        {"", -1, 0, milliseconds(100)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(retry_pause(c.retry_after, c.tries, c.random), c.expected)
            << "'" << c.retry_after << "' " << c.tries << " " << c.random;
}

TEST(GateCall, NoFailoverWithoutReplicaOrReason) {
    {
        ScriptedHttp http;
        for (int i = 0; i <= k_quick_retries; ++i) http.reply(503, "");
        LoadedConfig config = config_with(false);
        GateRoute route;
        testing::internal::CaptureStderr();
        auto r = gate_call(http, config, route, "entry.get", json{{"id", "x"}});
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(detail_of(r),
                  "TS-2047: gate refused the handshake (HTTP 503) \u2014 the gate or its proxy is "
                  "unavailable");
    }
    {
        ScriptedHttp http;
        http.reply(200, "");
        LoadedConfig config = config_with(true);
        GateRoute route;
        auto r = gate_call(http, config, route, "entry.get", json{{"id", "x"}});
        EXPECT_EQ(http.sent.size(), 1u);
        EXPECT_TRUE(r.is_error());
    }
}

TEST(GateCall, ACreateIsRepeatedOnlyWhereThePrimaryCannotHaveAppliedIt) {
    const json create = {{"title", "t"}, {"type", "note"}};
    const json update = {{"id", "e1"}, {"title", "t"}, {"type", "note"}};
    struct Case {
        std::function<void(ScriptedHttp&)> primary;
        json body;
        bool to_replica;
    } cases[] = {
        {[](ScriptedHttp& h) { h.fail("Connection refused"); }, create, true},
        {[](ScriptedHttp& h) { h.reply(503, ""); }, create, true},
        {[](ScriptedHttp& h) { h.fail("Empty reply from server", true); }, create, false},
        {[](ScriptedHttp& h) { h.reply(502, ""); }, create, false},
        {[](ScriptedHttp& h) { h.reply(504, ""); }, create, false},
        // An update names its entry: repeating it does no harm.
        {[](ScriptedHttp& h) { h.fail("Empty reply from server", true); }, update, true},
        {[](ScriptedHttp& h) { h.reply(502, ""); }, update, true},
    };
    for (auto& c : cases) {
        ScriptedHttp http;
        c.primary(http);
        http.fail("replica down");
        LoadedConfig config = config_with(true);
        GateRoute route;
        testing::internal::CaptureStderr();
        auto r = gate_call(http, config, route, "entry.upsert", c.body);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(http.sent.size(), c.to_replica ? 2u : 1u) << c.body.dump();
        ASSERT_TRUE(r.is_error());
        // Where the create was kept from the replica, the error says it may exist.
        EXPECT_EQ(r.error().display().find("may have created the entry") != std::string::npos,
                  !c.to_replica)
            << r.error().display();
    }
}

}  // namespace
}  // namespace tessarin
