#include "crypto/noise/handshake.h"

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

void GateExchange::finish() {
    // Moving empty buffers in wipes the keys.
    m_e = SecretBytes();
    m_s = SecretBytes();
    m_step = Step::Finished;
}

CoreResult<Bytes> GateExchange::write_message1(ByteView rs, ByteView payload) {
    auto message = write_message1_steps(rs, payload);
    if (message.is_error())
        finish();
    else
        m_step = Step::Message1Written;
    return message;
}

CoreResult<Bytes> GateExchange::write_message1_steps(ByteView rs, ByteView payload) {
    if (rs.size() != kDhSize || m_e.size() != kDhSize || m_s.size() != kDhSize)
        return CoreError(TS_0005);
    if (m_step != Step::Fresh)
        return CoreError(TS_0005);

    // Pre-message: the gate's static key is known in advance.
    m_state.MixHash(rs);

    Bytes message;
    message.reserve(payload.size() + kMessage1Overhead);

    // e
    const PublicKey e_pub = TRY(derive_public_key(m_e.expose_secret()));
    message.insert(message.end(), e_pub.begin(), e_pub.end());
    m_state.MixHash(e_pub);
    // es: a zero or low-order gate key is refused here, before anything leaves the program.
    {
        SecretBytes shared = TRY(dh(m_e.expose_secret(), rs));
        m_state.MixKey(shared.expose_secret());
    }
    // s
    const PublicKey s_pub = TRY(derive_public_key(m_s.expose_secret()));
    TRY(m_state.EncryptAndHash(s_pub, message));
    // ss
    {
        SecretBytes shared = TRY(dh(m_s.expose_secret(), rs));
        m_state.MixKey(shared.expose_secret());
    }
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
    if (m_step != Step::Message1Written)
        return CoreError(TS_0005);

    // e
    ByteView re = message2.first(kDhSize);
    m_state.MixHash(re);
    // ee
    {
        SecretBytes shared = TRY(dh(m_e.expose_secret(), re));
        m_state.MixKey(shared.expose_secret());
    }
    // se, seen from the initiator: our static key with the gate's ephemeral key.
    {
        SecretBytes shared = TRY(dh(m_s.expose_secret(), re));
        m_state.MixKey(shared.expose_secret());
    }
    if (!m_state.has_key())
        return CoreError(TS_0005);
    // Exactly 48 bytes give an empty payload; what that means is the caller's business.
    return m_state.DecryptAndHash(message2.subspan(kDhSize));
}

}  // namespace tessarin::noise
