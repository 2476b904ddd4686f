// The client's one TLS context: TLS 1.2 at least, peers verified, no session kept for
// resumption, and a trust store read lazily, once, during the first handshake.
#pragma once

#include <openssl/ssl.h>

#include <mutex>
#include <optional>
#include <string>

#include "crypto/core/openssl_ptr.h"
#include "crypto/core/result.h"
#include "src/net/http_client.h"

namespace tessarin {

using SslCtxPtr = OpensslPtr<SSL_CTX, SSL_CTX_free>;

// Why a TLS call failed: the library's first error, else the system's (error: SSL_get_error's
// verdict, saved_errno: errno right after the call).
std::string describe_tls_failure(int error = SSL_ERROR_NONE, int saved_errno = 0);

// The trust store a verification uses, in words: "SSL_CERT_FILE=PATH", "SSL_CERT_DIR=PATH"
// (or both), "the system's, /etc/ssl/certs" or "the library's default".
std::string trust_store_name();

// The context, made at the client's first request: nothing is set up before a command needs the
// network. Its trust store is read once, during the first handshake, while the gate works on
// its answer to the ClientHello: parsing a certificate file takes about as long. Should the
// answer be in before the client gets to it, the store is read when the gate's certificate is
// to be verified, which is the latest it can be. A context that has not read its store trusts
// nothing, so a slip here can only refuse a gate, never accept one.
class TlsContext {
  public:
    TlsContext() = default;
    // The context's verification callback holds the address of this object.
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // The context, made on the first call.
    BasicResult<SSL_CTX*, HttpError> get();
    // Reads the trust store, once for all requests; a failure stays the answer.
    BasicResult<void, HttpError> load_trust_store();
    // Why the store could not be read, once that is known.
    std::optional<HttpError> load_error();

  private:
    std::mutex m_mutex;
    SslCtxPtr m_ctx;
    bool m_tried = false;
    std::optional<HttpError> m_error;
};

}  // namespace tessarin
