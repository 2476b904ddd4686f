// One connection of the client: a TCP socket and its TLS session, opened and verified for one
// request, written to and read from within the request's deadline.
#pragma once

#include <openssl/ssl.h>

#include <functional>
#include <string_view>

#include "crypto/core/openssl_ptr.h"
#include "src/base/posix.h"
#include "src/net/deadline.h"
#include "src/net/http_client.h"
#include "src/net/http_response.h"
#include "src/net/https_url.h"
#include "src/net/tcp_connect.h"
#include "src/net/tls_context.h"

namespace tessarin {

using SslPtr = OpensslPtr<SSL, SSL_free>;

// A TCP connection with its TLS session, verified, ready for one request.
struct Connection {
    UniqueFd socket;
    SslPtr ssl;
};

// Resolution, TCP and TLS. Nothing of a request has been sent when this fails.
BasicResult<Connection, HttpError> open_connection(TlsContext& tls, Resolver& resolver,
                                                   const HttpsUrl& url, const Deadline& deadline);

// A connection opened ahead of its request that the server has closed (or written to)
// meanwhile: it must not carry the request.
bool went_stale(const Connection& c);

// Writes all of bytes. Every failure here comes after the request began to go out.
BasicResult<void, HttpError> write_all(Connection& c, std::string_view bytes,
                                       const Deadline& deadline);

// Feeds what arrives to the reader until the response ends, the reader stops, or enough(reader)
// says the rest is not wanted.
BasicResult<void, HttpError> read_response(
    Connection& c, const Deadline& deadline, HttpResponseReader& reader,
    const std::function<bool(const HttpResponseReader&)>& enough);

}  // namespace tessarin
