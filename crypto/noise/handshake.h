// The client's side of the one-shot Noise IK exchange with the vault gate
// (Noise_IK_25519_AESGCM_SHA256, prologue "tessarin-noise-v1"): message 1 carries the request
// to the gate, message 2 the reply. Nothing is sent after message 2.
#pragma once

#include <optional>
#include <string_view>

#include "crypto/core/random.h"
#include "crypto/noise/symmetric.h"

namespace tessarin::noise {

inline constexpr std::string_view kProtocolName = "Noise_IK_25519_AESGCM_SHA256";
inline constexpr std::string_view kPrologue = "tessarin-noise-v1";
// e.pub (32) || s.pub sealed (32 + 16) || payload tag (16).
inline constexpr size_t kMessage1Overhead = kDhSize + kDhSize + kTagSize + kTagSize;
// re (32) || payload tag (16).
inline constexpr size_t kMessage2Minimum = kDhSize + kTagSize;

// 32 fresh bytes from the operating system's random source, for a private key.
BasicResult<SecretBytes, OsError> random_private_key();

// One gate request's exchange: created with the client's keys, advanced by write_message1,
// finished by read_message2. Any failure finishes it. e and s are wiped as soon as it is
// finished, and everything else when it is dropped.
class GateExchange {
  public:
    // e: the ephemeral private key, s: the static private key; 32 random bytes each, drawn
    // for this request only (random_private_key), never reused.
    GateExchange(SecretBytes e, SecretBytes s);
    // An exchange with keys drawn for it from the operating system, the static key first, then
    // the ephemeral key.
    static BasicResult<GateExchange, OsError> with_fresh_keys();

    // Tokens e, es, s, ss, then the payload, against the gate's static public key rs.
    // Returns e.pub || enc(s.pub) || enc(payload): payload + 96 bytes in one allocation.
    // TS-0027 for a zero or low-order gate key (so nothing is ever sent to it), TS-0005 on
    // bad key lengths, a second call or a cipher failure.
    CoreResult<Bytes> write_message1(ByteView rs, ByteView payload);

    // Tokens e, es, s, ss of message 1, which do not depend on the payload, done ahead (while
    // an earlier request is answered): write_message1, for the same rs, then only seals the
    // payload. Same errors as write_message1; a failure finishes the exchange.
    CoreResult<void> prepare(ByteView rs);

    // Tokens e, ee, se, then the payload; returns the gate's reply payload and finishes the
    // exchange. TS-0010 shorter than 48 bytes, TS-0027 for a zero or low-order re,
    // TS-0003 when the reply does not authenticate, TS-0005 before message 1 or after the end.
    CoreResult<SecretBytes> read_message2(ByteView message2);

    // The handshake hash so far (known-answer checks only).
    ByteView handshake_hash() const { return m_state.handshake_hash(); }

  private:
    enum class Step { Fresh, Prepared, Message1Written, Finished };
    // payload_size: the payload to come, when known, so that message 1 is one allocation.
    CoreResult<void> prepare_steps(ByteView rs, size_t payload_size);
    CoreResult<Bytes> seal_payload(ByteView rs, ByteView payload);
    CoreResult<SecretBytes> read_message2_steps(ByteView message2);
    void finish();

    SymmetricState m_state;
    // The keys as given, until message 1 hands them to the library.
    SecretBytes m_e;
    SecretBytes m_s;
    // The same keys as the library holds them, from message 1 until the exchange finishes.
    std::optional<X25519Key> m_e_key;
    std::optional<X25519Key> m_s_key;
    // Once prepared: message 1 up to its payload, and the gate key it was prepared for.
    Bytes m_message;
    PublicKey m_rs{};
    Step m_step = Step::Fresh;
};

}  // namespace tessarin::noise
