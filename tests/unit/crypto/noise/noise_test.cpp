#include <gtest/gtest.h>

#include "tests/unit/noise_responder.h"
#include "tests/unit/test_support.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/core/base64.h"
#include "crypto/noise/handshake.h"
#include "crypto/noise/symmetric.h"

using namespace tessarin;
using namespace tessarin::noise;

using namespace tessarin::testing_support;

namespace {

SecretBytes secret_hex(std::string_view text) {
    return SecretBytes(hex(text));
}

GateExchange kat_exchange() {
    return GateExchange(secret_hex(kat::initiator_ephemeral.priv),
                        secret_hex(kat::initiator_static.priv));
}

SecretBytes fresh_key() {
    auto key = random_private_key();
    if (key.is_error())
        throw std::runtime_error("no randomness: " + key.error().message());
    return key.release_value();
}

// Runs message 1 of a fresh random exchange through a responder holding responder_priv,
// and returns the responder's message 2 for the payload.
struct Round {
    GateExchange exchange{fresh_key(), fresh_key()};
    Bytes message2;
};
Round answered_round(ByteView responder_priv, ByteView gate_pub, ByteView reply) {
    Round round;
    Bytes message1 = must(round.exchange.write_message1(gate_pub, as_bytes("request")));
    TestResponder responder(responder_priv);
    EXPECT_EQ(responder.read_message1(message1).expose_text(), "request");
    round.message2 = responder.write_message2(fresh_key().expose_secret(), reply);
    return round;
}

}  // namespace

TEST(NoiseKnownAnswer, PublicKeysFromPrivateKeys) {
    const std::pair<std::string_view, std::string_view> pairs[] = {
        {kat::responder_static.priv, kat::responder_static.pub},
        {kat::initiator_ephemeral.priv, kat::initiator_ephemeral.pub},
        {kat::initiator_static.priv, kat::initiator_static.pub},
        {kat::responder_ephemeral.priv, kat::responder_ephemeral.pub},
    };
    for (auto [priv, pub] : pairs) EXPECT_EQ(hex_encode(must(derive_public_key(hex(priv)))), pub);
}

TEST(NoiseKnownAnswer, InitiatorWritesMessage1AndOpensMessage2) {
    GateExchange exchange = kat_exchange();
    const Bytes payload = hex(kat::payload1);
    Bytes message1 = must(exchange.write_message1(hex(kat::responder_static.pub), payload));
    EXPECT_EQ(hex_encode(message1), kat::msg1);
    EXPECT_EQ(message1.size(), payload.size() + 96);
    EXPECT_EQ(message1.capacity(), payload.size() + 96);  // one buffer of exactly that size

    SecretBytes reply = must(exchange.read_message2(hex(kat::msg2)));
    EXPECT_EQ(hex_encode(reply.expose_secret()), kat::payload2);
    EXPECT_EQ(hex_encode(exchange.handshake_hash()), kat::handshake_hash);
}

// Message 1 worked out ahead of its payload is the same message.
TEST(NoiseKnownAnswer, Message1PreparedAheadIsTheSame) {
    GateExchange exchange = kat_exchange();
    const Bytes gate_pub = hex(kat::responder_static.pub);
    must(exchange.prepare(gate_pub));
    const Bytes payload = hex(kat::payload1);
    Bytes message1 = must(exchange.write_message1(gate_pub, payload));
    EXPECT_EQ(hex_encode(message1), kat::msg1);
    SecretBytes reply = must(exchange.read_message2(hex(kat::msg2)));
    EXPECT_EQ(hex_encode(reply.expose_secret()), kat::payload2);
}

// The stand-in gate used by the other tests reproduces the known answers too.
TEST(NoiseKnownAnswer, TestResponderAgrees) {
    TestResponder responder(hex(kat::responder_static.priv));
    SecretBytes request = responder.read_message1(hex(kat::msg1));
    EXPECT_EQ(hex_encode(request.expose_secret()), kat::payload1);
    EXPECT_EQ(hex_encode(responder.initiator_static()), kat::initiator_static.pub);
    Bytes message2 =
        responder.write_message2(hex(kat::responder_ephemeral.priv), hex(kat::payload2));
    EXPECT_EQ(hex_encode(message2), kat::msg2);
    EXPECT_EQ(hex_encode(responder.handshake_hash()), kat::handshake_hash);
}

TEST(NoiseDh, Rfc7748Vectors) {
    // RFC 7748 section 5.2; the second u-coordinate has its top bit set, which is ignored.
    struct Case {
        std::string_view scalar, u, out;
    };
    const Case cases[] = {
        {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
         "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
         "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
        {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
         "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
         "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(hex_encode(must(dh(hex(c.scalar), hex(c.u))).expose_secret()), c.out);
}

// Public keys whose product with any clamped scalar is zero: the identity, points of small
// order, and their non-canonical spellings (also with the ignored top bit set).
TEST(NoiseDh, LowOrderPublicKeysAreRefused) {
    const std::string_view low_order[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
        "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "0000000000000000000000000000000000000000000000000000000000000080",
    };
    const Bytes priv = hex(kat::responder_static.priv);
    for (auto pub : low_order) EXPECT_EQ(code_of(dh(priv, hex(pub))), "TS-0027") << pub;
}

// A key made once serves every DH of its exchange: each peer in turn gets its own secret,
// and a refused peer leaves the key usable for the next.
TEST(NoiseDh, OneKeyServesSeveralPeersInTurn) {
    X25519Key key = must(X25519Key::from_private(hex(kat::responder_static.priv)));
    EXPECT_EQ(hex_encode(key.public_key()), kat::responder_static.pub);
    const std::string_view peers[][2] = {
        {kat::initiator_ephemeral.priv, kat::initiator_ephemeral.pub},
        {kat::initiator_static.priv, kat::initiator_static.pub},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& [peer_priv, peer_pub] : peers) {
            // Each side's secret is the other's: the peer computes it from its own private key.
            SecretBytes expected = must(dh(hex(peer_priv), hex(kat::responder_static.pub)));
            EXPECT_EQ(hex_encode(must(key.dh(hex(peer_pub))).expose_secret()),
                      hex_encode(expected.expose_secret()));
        }
        EXPECT_EQ(code_of(key.dh(Bytes(32, 0))), "TS-0027");
        EXPECT_EQ(code_of(key.dh(Bytes(31, 9))), "TS-0005");
    }
}

TEST(NoiseDh, KeysMustBe32Bytes) {
    const Bytes good(32, 9);
    EXPECT_EQ(code_of(dh(Bytes(31, 9), good)), "TS-0005");
    EXPECT_EQ(code_of(dh(good, Bytes(33, 9))), "TS-0005");
    EXPECT_EQ(code_of(derive_public_key(Bytes(16, 9))), "TS-0005");
    EXPECT_EQ(code_of(X25519Key::from_private(Bytes(33, 9))), "TS-0005");
}

TEST(GateExchange, ZeroGateKeyIsRefusedBeforeAnythingIsWritten) {
    GateExchange exchange = kat_exchange();
    EXPECT_EQ(code_of(exchange.write_message1(Bytes(32, 0), as_bytes("payload"))), "TS-0027");
    // The exchange is over: nothing more can be read from it.
    EXPECT_EQ(code_of(exchange.read_message2(hex(kat::msg2))), "TS-0005");
}

TEST(GateExchange, Message1IsPayloadPlus96Bytes) {
    const Bytes gate = hex(kat::responder_static.pub);
    for (size_t n : {0u, 1u, 100u, 70000u}) {
        GateExchange exchange(fresh_key(), fresh_key());
        Bytes message1 = must(exchange.write_message1(gate, Bytes(n, 0x61)));
        EXPECT_EQ(message1.size(), n + 96);
        EXPECT_EQ(message1.capacity(), n + 96);
    }
}

TEST(GateExchange, FreshKeysMakeEveryMessageDifferent) {
    const Bytes gate = hex(kat::responder_static.pub);
    GateExchange a(fresh_key(), fresh_key()), b(fresh_key(), fresh_key());
    Bytes ma = must(a.write_message1(gate, as_bytes("same")));
    Bytes mb = must(b.write_message1(gate, as_bytes("same")));
    EXPECT_NE(Bytes(ma.begin(), ma.begin() + 32), Bytes(mb.begin(), mb.begin() + 32));
    EXPECT_NE(Bytes(ma.begin() + 32, ma.begin() + 80), Bytes(mb.begin() + 32, mb.begin() + 80));
}

TEST(GateExchange, ReplyOfExactly48BytesIsAnEmptyPayload) {
    const Bytes gate_priv = hex(kat::responder_static.priv);
    Round round = answered_round(gate_priv, hex(kat::responder_static.pub), {});
    ASSERT_EQ(round.message2.size(), 48u);
    SecretBytes reply = must(round.exchange.read_message2(round.message2));
    EXPECT_TRUE(reply.empty());
}

TEST(GateExchange, ShortOrForgedRepliesAreRefused) {
    const Bytes gate_priv = hex(kat::responder_static.priv);
    const Bytes gate_pub = hex(kat::responder_static.pub);
    {
        GateExchange exchange = kat_exchange();
        must(exchange.write_message1(gate_pub, hex(kat::payload1)));
        EXPECT_EQ(code_of(exchange.read_message2(Bytes(47, 1))), "TS-0010");
    }
    {
        // A gate holding another static key answers a twin of this request (same client
        // keys, same payload, sealed to that gate's key); its reply does not open here.
        const Bytes other_priv =
            hex("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
        const PublicKey other_pub = must(derive_public_key(other_priv));
        GateExchange twin = kat_exchange();
        Bytes twin_message1 = must(twin.write_message1(other_pub, hex(kat::payload1)));
        TestResponder other(other_priv);
        EXPECT_EQ(hex_encode(other.read_message1(twin_message1).expose_secret()), kat::payload1);
        Bytes forged = other.write_message2(hex(kat::responder_ephemeral.priv), hex(kat::payload2));
        ASSERT_EQ(must(twin.read_message2(forged)).size(), hex(kat::payload2).size());

        GateExchange exchange = kat_exchange();
        must(exchange.write_message1(gate_pub, hex(kat::payload1)));
        EXPECT_EQ(code_of(exchange.read_message2(forged)), "TS-0003");
    }
    {
        // The known-answer reply does not open for a different request.
        Round round = answered_round(gate_priv, gate_pub, as_bytes("reply"));
        EXPECT_EQ(code_of(round.exchange.read_message2(hex(kat::msg2))), "TS-0003");
    }
}

TEST(GateExchange, EveryFlippedBitOfTheReplyIsRefused) {
    const Bytes gate_priv = hex(kat::responder_static.priv);
    const Bytes gate_pub = hex(kat::responder_static.pub);
    const Bytes reply = hex(kat::payload2);
    const size_t size = 32 + reply.size() + 16;
    for (size_t bit = 0; bit < size * 8; ++bit) {
        Round round = answered_round(gate_priv, gate_pub, reply);
        round.message2[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        auto opened = round.exchange.read_message2(round.message2);
        if (bit / 8 >= 32) {
            EXPECT_EQ(code_of(opened), "TS-0003") << bit;
        } else {
            // The top bit of re is ignored by X25519; the reply still fails, through h.
            EXPECT_TRUE(code_of(opened) == "TS-0003" || code_of(opened) == "TS-0027") << bit;
        }
    }
}

TEST(GateExchange, StepsOutOfOrderAreInternalErrors) {
    const Bytes gate_pub = hex(kat::responder_static.pub);
    {
        GateExchange exchange = kat_exchange();
        EXPECT_EQ(code_of(exchange.read_message2(hex(kat::msg2))), "TS-0005");
    }
    {
        GateExchange exchange = kat_exchange();
        must(exchange.write_message1(gate_pub, hex(kat::payload1)));
        EXPECT_EQ(code_of(exchange.write_message1(gate_pub, hex(kat::payload1))), "TS-0005");
    }
    {
        GateExchange exchange = kat_exchange();
        must(exchange.write_message1(gate_pub, hex(kat::payload1)));
        must(exchange.read_message2(hex(kat::msg2)));
        EXPECT_EQ(code_of(exchange.read_message2(hex(kat::msg2))), "TS-0005");
    }
    {
        // A failed read also ends the exchange: the genuine reply no longer opens.
        GateExchange exchange = kat_exchange();
        must(exchange.write_message1(gate_pub, hex(kat::payload1)));
        Bytes forged = hex(kat::msg2);
        forged.back() ^= 1;
        EXPECT_EQ(code_of(exchange.read_message2(forged)), "TS-0003");
        EXPECT_EQ(code_of(exchange.read_message2(hex(kat::msg2))), "TS-0005");
    }
    {
        // Prepared once, and for one gate only (not the replica the request went to instead).
        GateExchange twice = kat_exchange();
        must(twice.prepare(gate_pub));
        EXPECT_EQ(code_of(twice.prepare(gate_pub)), "TS-0005");
        GateExchange other_gate = kat_exchange();
        must(other_gate.prepare(gate_pub));
        EXPECT_EQ(code_of(other_gate.write_message1(Bytes(32, 9), hex(kat::payload1))), "TS-0005");
        EXPECT_EQ(code_of(other_gate.write_message1(gate_pub, hex(kat::payload1))), "TS-0005");
        GateExchange zero_gate = kat_exchange();
        EXPECT_EQ(code_of(zero_gate.prepare(Bytes(32, 0))), "TS-0027");
        EXPECT_EQ(code_of(zero_gate.write_message1(gate_pub, hex(kat::payload1))), "TS-0005");
    }
    {
        GateExchange exchange(SecretBytes(16), fresh_key());
        EXPECT_EQ(code_of(exchange.write_message1(gate_pub, {})), "TS-0005");
        GateExchange short_gate(fresh_key(), fresh_key());
        EXPECT_EQ(code_of(short_gate.write_message1(Bytes(31, 1), {})), "TS-0005");
    }
}

TEST(SymmetricState, InitialisationAndKeylessUse) {
    SymmetricState state(kProtocolName);
    // The 28-byte name padded with zeros to 32 bytes.
    EXPECT_EQ(hex_encode(state.handshake_hash()), hex_encode(as_bytes(kProtocolName)) + "00000000");
    EXPECT_FALSE(state.has_key());
    Bytes out;
    EXPECT_EQ(code_of(state.EncryptAndHash(as_bytes("x"), out)), "TS-0005");
    EXPECT_EQ(code_of(state.DecryptAndHash(Bytes(16, 0))), "TS-0005");
    EXPECT_TRUE(out.empty());

    // A name longer than 32 bytes is hashed instead.
    const std::string long_name(40, 'N');
    SymmetricState hashed(long_name);
    EXPECT_EQ(hex_encode(hashed.handshake_hash()), hex_encode(sha256(as_bytes(long_name))));
}

// h and n move on only when a tag verifies: a rejected ciphertext leaves the state able to
// open the genuine one, and the two sides still agree afterwards.
TEST(SymmetricState, RejectedCiphertextChangesNothing) {
    SymmetricState sender(kProtocolName), receiver(kProtocolName);
    const Bytes ikm(32, 0x33);
    sender.MixKey(ikm);
    receiver.MixKey(ikm);
    Bytes first, second;
    must(sender.EncryptAndHash(as_bytes("one"), first));
    must(sender.EncryptAndHash(as_bytes("two"), second));
    // Nonces are big-endian counters: the second message is sealed with n = 1.
    EXPECT_NE(Bytes(first.begin(), first.begin() + 3), Bytes(second.begin(), second.begin() + 3));

    const Bytes h_before(receiver.handshake_hash().begin(), receiver.handshake_hash().end());
    Bytes forged = first;
    forged[0] ^= 0x80;
    EXPECT_EQ(code_of(receiver.DecryptAndHash(forged)), "TS-0003");
    EXPECT_EQ(code_of(receiver.DecryptAndHash(second)), "TS-0003");  // wrong nonce
    EXPECT_EQ(code_of(receiver.DecryptAndHash(Bytes(15, 0))), "TS-0010");
    EXPECT_EQ(Bytes(receiver.handshake_hash().begin(), receiver.handshake_hash().end()), h_before);

    EXPECT_EQ(must(receiver.DecryptAndHash(first)).expose_text(), "one");
    EXPECT_EQ(must(receiver.DecryptAndHash(second)).expose_text(), "two");
    EXPECT_TRUE(constant_time_equal(receiver.handshake_hash(), sender.handshake_hash()));
}
