// libFuzzer harness for Noise message 2 and the gate request around it. A stand-in gate (the
// unit tests' responder) holds fixed keys, so the fuzzer's bytes reach the reply payload. The first
// byte picks the mode:
//   0  the rest is the reply payload, sealed by the stand-in gate with fixed keys on both
//      sides: the client opens exactly that payload;
//   1  the rest is message 2 itself: only a message the gate's keys produced may open;
//   2  a valid message 2 with the rest XORed into it from a chosen offset, cut short or
//      lengthened: any change is refused (TS-0003, TS-0010 or TS-0027), no change opens;
//   3  the rest is the reply payload of a whole gate_request (fresh random client keys, the
//      stand-in gate behind a scripted HTTP client, chosen status and white space around the
//      base64 body): the outcome is exactly what the payload says, and no error detail but
//      the gate's own error text quotes the payload ('$' plants canary text in it).
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"
#include "crypto/core/token.h"
#include "crypto/noise/handshake.h"
#include "fuzz/fuzz_support.h"
#include "src/gate/gate.h"
#include "src/gate/reply.h"
#include "tests/unit/noise_responder.h"
#include "tests/unit/test_support.h"

namespace {

using namespace tessarin;
using namespace tessarin::noise;
using nlohmann::json;
using namespace tessarin::testing_support;
using tessarin::fuzz::Input;

bool is_refusal(const CoreError& error) {
    return error.record == &TS_0003 || error.record == &TS_0010 || error.record == &TS_0027;
}

// The stand-in gate with its fixed known-answer keys: it answers every message 1 with the
// same ephemeral key. (Its failures throw, which ends the run as a finding.)
class Gate {
  public:
    static std::array<uint8_t, kDhSize> public_key() {
        std::array<uint8_t, kDhSize> key{};
        const Bytes bytes = hex(kat::responder_static.pub);
        std::copy(bytes.begin(), bytes.end(), key.begin());
        return key;
    }
    SecretBytes read_message1(ByteView message) { return m_responder.read_message1(message); }
    Bytes write_message2(ByteView payload) {
        return m_responder.write_message2(hex(kat::responder_ephemeral.priv), payload);
    }

  private:
    TestResponder m_responder{hex(kat::responder_static.priv)};
};

// A client exchange with fixed keys whose message 1 the responder has read.
struct Round {
    GateExchange client{SecretBytes(hex(kat::initiator_ephemeral.priv)),
                        SecretBytes(hex(kat::initiator_static.priv))};
    Gate gate;

    Round() {
        const Bytes request = hex(kat::payload1);
        Bytes message1 = must(client.write_message1(Gate::public_key(), request));
        const SecretBytes opened = gate.read_message1(message1);
        FUZZ_CHECK(Bytes(opened.expose_secret().begin(), opened.expose_secret().end()) == request);
    }
};

void sealed_payload(std::string_view payload) {
    Round round;
    Bytes message2 = round.gate.write_message2(as_bytes(payload));
    FUZZ_CHECK(message2.size() == payload.size() + kMessage2Minimum);
    SecretBytes opened = must(round.client.read_message2(message2));
    FUZZ_CHECK(opened.expose_text() == payload);
    // The payload parser behind it: errors are values.
    auto reply = decode_reply(opened.expose_secret(), k_max_reply_payload);
    (void)reply;
}

void raw_message2(std::string_view message) {
    Round round;
    auto opened = round.client.read_message2(as_bytes(message));
    if (opened.is_error()) {
        FUZZ_CHECK(is_refusal(opened.error()));
        FUZZ_CHECK((opened.error().record == &TS_0010) == (message.size() < kMessage2Minimum));
        return;
    }
    // Only what the gate itself would have sent for that payload.
    FUZZ_CHECK(round.gate.write_message2(opened.value().expose_secret()) ==
               Bytes(message.begin(), message.end()));
}

void tampered_message2(Input& input) {
    const uint8_t offset = input.byte();
    const uint8_t length_change = input.byte();
    const std::string_view mask = input.rest();
    const std::string_view payload = "\x10{\"ok\":true,\"result\":\"s3cr3t\"}";

    Round round;
    const Bytes valid = round.gate.write_message2(as_bytes(payload));
    Bytes message = valid;
    for (size_t i = 0; i < mask.size() && offset + i < message.size(); ++i)
        message[offset + i] ^= static_cast<uint8_t>(mask[i]);
    if (length_change & 0x80)
        message.resize(
            message.size() > (length_change & 0x7f) ? message.size() - (length_change & 0x7f) : 0);
    else
        message.insert(message.end(), length_change & 0x7f, 0);

    auto opened = round.client.read_message2(message);
    if (message == valid) {
        FUZZ_CHECK(!opened.is_error() && opened.value().expose_text() == payload);
    } else {
        FUZZ_CHECK(opened.is_error() && is_refusal(opened.error()));
    }
}

// A scripted HTTP client with the stand-in gate behind it.
class GateOverHttp final : public HttpClient {
  public:
    GateOverHttp(long status, uint8_t spacing, std::string payload)
        : m_status(status), m_spacing(spacing), m_payload(std::move(payload)) {}

    BasicResult<HttpResponse, HttpError> post(const std::string&, std::string_view content_type,
                                              std::string_view body, std::chrono::milliseconds,
                                              size_t, EarlyConnections,
                                              std::chrono::milliseconds) override {
        FUZZ_CHECK(content_type == "text/plain");
        auto message1 = base64_decode(body);
        FUZZ_CHECK(message1.has_value());
        Gate gate;
        SecretBytes request = gate.read_message1(*message1);
        FUZZ_CHECK(!request.empty() && request.expose_secret()[0] == k_payload_marker);
        const std::string encoded = base64_encode(gate.write_message2(as_bytes(m_payload)));

        static constexpr std::string_view spaces[] = {"", " ", "\n", "\r\n", "\t \f\v"};
        HttpResponse response;
        response.status = m_status;
        response.body.append(spaces[(m_spacing >> 4) % std::size(spaces)]);
        response.body.append(encoded);
        response.body.append(spaces[m_spacing % std::size(spaces)]);
        response.body_length = response.body.size();
        return response;
    }

  private:
    long m_status;
    uint8_t m_spacing;
    std::string m_payload;
};

void gate_request_payload(Input& input) {
    static constexpr long statuses[] = {200, 200, 200, 200, 201, 204, 299, 404, 502, 503};
    const long status = statuses[input.byte() % std::size(statuses)];
    const uint8_t spacing = input.byte();
    const std::string payload = fuzz::plant_canary(input.rest());

    GateEndpoint gate;
    gate.url = "https://gate.example/gate";
    gate.public_key = Gate::public_key();
    const std::string token = "tsk_" + std::string(89, 'A');
    GateOverHttp http(status, spacing, payload);
    auto outcome = gate_request(http, gate, token, "entry.get", json{{"id", "x"}});

    if (status < 200 || status > 299) {
        // The refusal's ending follows the status: 404 is a wrong key or a dark gate, 502 and
        // 503 an unavailable gate or proxy.
        const std::string ending = status == 404 ? " \u2014 wrong pubkey or dark gate"
                                                 : " \u2014 the gate or its proxy is unavailable";
        FUZZ_CHECK(outcome.is_error() &&
                   outcome.error().detail ==
                       "gate refused the handshake (HTTP " + std::to_string(status) + ")" + ending);
        return;
    }
    auto expected = decode_reply(as_bytes(payload), k_max_reply_payload);
    if (expected.is_error()) {
        FUZZ_CHECK(outcome.is_error() && outcome.error().error == &TS_2047);
        FUZZ_CHECK(outcome.error().detail == "decode reply: " + debug_form(expected.error().get()));
        return;
    }
    const Reply& reply = expected.value();
    if (reply.ok) {
        FUZZ_CHECK(!outcome.is_error() && outcome.value() == reply.result);
        return;
    }
    FUZZ_CHECK(outcome.is_error() && outcome.error().error == &TS_2047);
    const std::string code = reply.error ? reply.error->code : "UNKNOWN";
    const std::string message = reply.error ? reply.error->message : "no detail";
    FUZZ_CHECK(outcome.error().detail == "gate error " + code + ": " + message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    switch (input.byte() % 4) {
        case 0:
            sealed_payload(input.rest());
            break;
        case 1:
            raw_message2(input.rest());
            break;
        case 2:
            tampered_message2(input);
            break;
        case 3:
            gate_request_payload(input);
            break;
    }
    return 0;
}
