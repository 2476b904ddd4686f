// The gate's side of the Noise IK handshake with fixed known-answer keys, shared by the Noise
// unit tests and the Noise fuzz harness: it reads the client's message 1 and answers with
// message 2.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "crypto/core/catalogue.h"
#include "crypto/core/primitives.h"
#include "crypto/core/secret.h"
#include "crypto/noise/handshake.h"
#include "crypto/noise/symmetric.h"

namespace tessarin::testing_support {

// Unwraps a result a test relies on; a failure ends the test with the code.
template <typename T>
inline T must(CoreResult<T> result) {
    if (result.is_error())
        throw std::runtime_error("unexpected " + std::string(result.error().get().code));
    return result.release_value();
}

// A handshake computed with fixed keys by two independent Noise implementations
// (python3-dissononce 0.34.3 and Go flynn/noise 1.0.0), which agree byte for byte.
namespace kat {
// An X25519 key pair in hex: the private key and the public key derived from it.
struct KeyPairHex {
    std::string_view priv;
    std::string_view pub;
};
constexpr KeyPairHex responder_static{
    "c22025341e9de2e97d30453f1ad036ee4828d94dad94515740f330687415f093",
    "a961b8c38858fb5110e93cfc385312fbc59c2f6c064414fea9d0700ff40f0c49"};
constexpr KeyPairHex initiator_ephemeral{
    "a721176f2851d76414a6c74c106ebfc569cfdd28625f19543c51a9173f314eae",
    "a246f11375c457277873491927e27be7cca3beefb8fe91e28f0df1182de7315b"};
constexpr KeyPairHex initiator_static{
    "222d4d6738e81629eb5ca2d93b8808e88693eef7bc94fd4364acb96b0c8af528",
    "a95f279ce9c051235cb66e28bb8a77c67833c9b13155e57796c022981a501c3a"};
constexpr KeyPairHex responder_ephemeral{
    "b311e2c9636c978e6b032b082f543a858b2ce671dd75af4f3f477a95cacdf5f1",
    "3536f613506380ec09fb20f039e1dd0d8437c772c11eae87319252646a48ce47"};
constexpr std::string_view payload1 =
    "107b22616374696f6e223a2273797374656d2e70696e67222c2263726564223a2274736b5f78227d";
constexpr std::string_view payload2 = "107b226f6b223a747275657d";
constexpr std::string_view msg1 =
    "a246f11375c457277873491927e27be7cca3beefb8fe91e28f0df1182de7315b4ca354404f1c906a6cb4137c1535"
    "a28a3532a6e2d6b86dd9674701fe0790f4cbe198d4c6229517225c09026de4ab53f51b9b5133f10598356f7b4801"
    "22b4b18406945e32a26e16aa91299cd88e0ed02e3d6d86b4ff4512b4beec91a44c9a423df902cb17c962e8b8";
constexpr std::string_view msg2 =
    "3536f613506380ec09fb20f039e1dd0d8437c772c11eae87319252646a48ce474765e1aed5b75a77fae04514a184"
    "fd0f5beded17503885f36db85c6b";
constexpr std::string_view handshake_hash =
    "e765e4a5eac20683862d916d7c7fad3fa7bbd42b6c2c334b0b33648d375fa6c2";
}  // namespace kat

// The gate's side of the handshake, built from the same symmetric state, so that tests can
// answer the messages the client writes. The Noise unit tests check it against the known
// answers.
class TestResponder {
  public:
    explicit TestResponder(ByteView static_priv) : m_s(static_priv) {
        m_state.MixHash(as_bytes(noise::kPrologue));
        noise::PublicKey s_pub = must(noise::derive_public_key(m_s.expose_secret()));
        m_state.MixHash(s_pub);
    }

    SecretBytes read_message1(ByteView message) {
        if (message.size() < noise::kMessage1Overhead)
            throw std::runtime_error("message 1 too short");
        m_re.assign(message.begin(), message.begin() + 32);
        m_state.MixHash(m_re);
        m_state.MixKey(must(noise::dh(m_s.expose_secret(), m_re)).expose_secret());
        SecretBytes rs = must(m_state.DecryptAndHash(message.subspan(32, 48)));
        m_rs.assign(rs.expose_secret().begin(), rs.expose_secret().end());
        m_state.MixKey(must(noise::dh(m_s.expose_secret(), m_rs)).expose_secret());
        return must(m_state.DecryptAndHash(message.subspan(80)));
    }

    Bytes write_message2(ByteView ephemeral_priv, ByteView payload) {
        noise::PublicKey e_pub = must(noise::derive_public_key(ephemeral_priv));
        Bytes out(e_pub.begin(), e_pub.end());
        m_state.MixHash(e_pub);
        m_state.MixKey(must(noise::dh(ephemeral_priv, m_re)).expose_secret());
        m_state.MixKey(must(noise::dh(ephemeral_priv, m_rs)).expose_secret());
        must(m_state.EncryptAndHash(payload, out));
        return out;
    }

    ByteView handshake_hash() const { return m_state.handshake_hash(); }
    const Bytes& initiator_static() const { return m_rs; }

  private:
    noise::SymmetricState m_state{noise::kProtocolName};
    SecretBytes m_s;
    Bytes m_re, m_rs;
};

}  // namespace tessarin::testing_support
