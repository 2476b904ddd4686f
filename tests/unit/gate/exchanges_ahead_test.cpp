#include "src/gate/exchanges_ahead.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/unit/noise_responder.h"
#include "tests/unit/test_support.h"

namespace tessarin {
namespace {

using namespace tessarin::testing_support;

std::array<uint8_t, 32> key_of(std::string_view hex_text) {
    std::array<uint8_t, 32> key{};
    const Bytes bytes = hex(hex_text);
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

TEST(ExchangesAhead, AnExchangeIsTakenOnceAndOnlyForItsGate) {
    const auto gate = key_of(kat::responder_static.pub);
    std::array<uint8_t, 32> replica = gate;
    replica[0] ^= 1;
    ExchangesAhead ahead;
    ahead.prepare(gate);
    EXPECT_FALSE(ahead.take(replica));
    std::optional<noise::GateExchange> taken = ahead.take(gate);
    ASSERT_TRUE(taken);
    EXPECT_FALSE(ahead.take(gate));

    // It seals the payload given later into a message 1 the gate opens.
    const std::string_view text = "{\"action\":\"entry.get\"}";
    const Bytes payload(text.begin(), text.end());
    Bytes message1 = must(taken->write_message1(gate, payload));
    TestResponder responder(hex(kat::responder_static.priv));
    SecretBytes opened = responder.read_message1(message1);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), opened.expose_secret().begin(),
                           opened.expose_secret().end()));
}

TEST(ExchangesAhead, KeepsNoneForARefusedGateKeyAndAtMostTheMost) {
    ExchangesAhead ahead;
    const std::array<uint8_t, 32> zero{};
    ahead.prepare(zero);
    EXPECT_FALSE(ahead.take(zero));

    const auto gate = key_of(kat::responder_static.pub);
    for (size_t i = 0; i < ExchangesAhead::most + 3; ++i) ahead.prepare(gate);
    size_t kept = 0;
    while (ahead.take(gate)) ++kept;
    EXPECT_EQ(kept, ExchangesAhead::most);
}

}  // namespace
}  // namespace tessarin
