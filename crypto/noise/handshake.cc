#include "crypto/noise/handshake.h"

#include <algorithm>
#include <utility>

namespace tessarin::noise {

BasicResult<SecretBytes, OsError> random_private_key() {
    SecretBytes key(kDhSize);
    TRY(random_fill_os(key.expose_secret_mut()));
    return key;
}

GateExchange::GateExchange(SecretBytes e, SecretBytes s)
    : m_state(kProtocolName), m_e(std::move(e)), m_s(std::move(s)) {
    m_state.MixHash(as_bytes(kPrologue));
}

BasicResult<GateExchange, OsError> GateExchange::with_fresh_keys() {
    SecretBytes s = TRY(random_private_key());
    SecretBytes e = TRY(random_private_key());
    return GateExchange(std::move(e), std::move(s));
}

void GateExchange::finish() {
    // Moving empty buffers in wipes the keys; freeing the library's keys wipes its copies.
    m_e = SecretBytes();
    m_s = SecretBytes();
    m_e_key.reset();
    m_s_key.reset();
    m_step = Step::Finished;
}

CoreResult<void> GateExchange::prepare(ByteView rs) {
    if (m_step != Step::Fresh)
        return CoreError(TS_0005);
    auto prepared = prepare_steps(rs, 0);
    if (prepared.is_error())
        finish();
    else
        m_step = Step::Prepared;
    return prepared;
}

CoreResult<Bytes> GateExchange::write_message1(ByteView rs, ByteView payload) {
    CoreResult<Bytes> message = CoreError(TS_0005);
    if (m_step == Step::Fresh) {
        auto prepared = prepare_steps(rs, payload.size());
        message = prepared.is_error() ? CoreResult<Bytes>(prepared.release_error())
                                      : seal_payload(rs, payload);
    } else if (m_step == Step::Prepared) {
        message = seal_payload(rs, payload);
    }
    if (message.is_error())
        finish();
    else
        m_step = Step::Message1Written;
    return message;
}

CoreResult<void> GateExchange::prepare_steps(ByteView rs, size_t payload_size) {
    if (rs.size() != kDhSize || m_e.size() != kDhSize || m_s.size() != kDhSize)
        return CoreError(TS_0005);

    // Each key is handed to the library once, for its public key and both of its DH
    // operations; the copies given to the constructor are not needed after that.
    m_e_key.emplace(TRY(X25519Key::from_private(m_e.expose_secret())));
    m_s_key.emplace(TRY(X25519Key::from_private(m_s.expose_secret())));
    m_e = SecretBytes();
    m_s = SecretBytes();
    std::copy(rs.begin(), rs.end(), m_rs.begin());

    // Pre-message: the gate's static key is known in advance.
    m_state.MixHash(rs);

    m_message.reserve(payload_size + kMessage1Overhead);
    // e
    const PublicKey& e_pub = m_e_key->public_key();
    m_message.insert(m_message.end(), e_pub.begin(), e_pub.end());
    m_state.MixHash(e_pub);
    // es: a zero or low-order gate key is refused here, before anything leaves the program.
    {
        SecretBytes shared = TRY(m_e_key->dh(rs));
        m_state.MixKey(shared.expose_secret());
    }
    // s
    TRY(m_state.EncryptAndHash(m_s_key->public_key(), m_message));
    // ss
    {
        SecretBytes shared = TRY(m_s_key->dh(rs));
        m_state.MixKey(shared.expose_secret());
    }
    return {};
}

CoreResult<Bytes> GateExchange::seal_payload(ByteView rs, ByteView payload) {
    // Prepared for another gate (a failover to the replica): not this exchange's to send.
    if (rs.size() != kDhSize || !std::equal(rs.begin(), rs.end(), m_rs.begin()))
        return CoreError(TS_0005);
    Bytes message = std::move(m_message);
    m_message = Bytes();
    message.reserve(payload.size() + kMessage1Overhead);
    TRY(m_state.EncryptAndHash(payload, message));
    return message;
}

CoreResult<SecretBytes> GateExchange::read_message2(ByteView message2) {
    auto payload = read_message2_steps(message2);
    finish();
    return payload;
}

CoreResult<SecretBytes> GateExchange::read_message2_steps(ByteView message2) {
    if (message2.size() < kMessage2Minimum)
        return CoreError(TS_0010);
    if (m_step != Step::Message1Written || !m_e_key || !m_s_key)
        return CoreError(TS_0005);

    // e
    ByteView re = message2.first(kDhSize);
    m_state.MixHash(re);
    // ee
    {
        SecretBytes shared = TRY(m_e_key->dh(re));
        m_state.MixKey(shared.expose_secret());
    }
    // se, seen from the initiator: our static key with the gate's ephemeral key.
    {
        SecretBytes shared = TRY(m_s_key->dh(re));
        m_state.MixKey(shared.expose_secret());
    }
    if (!m_state.has_key())
        return CoreError(TS_0005);
    // Exactly 48 bytes give an empty payload; what that means is the caller's business.
    return m_state.DecryptAndHash(message2.subspan(kDhSize));
}

}  // namespace tessarin::noise
