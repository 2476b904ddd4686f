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

// How long a TLS handshake may make no progress before the server counts as not answering new
// connections now: the next address is tried, and the command's budget told. A slow network's
// handshake is one round trip; a server that accepted the connection into a full queue says
// nothing at all.
inline constexpr std::chrono::milliseconds k_handshake_stall{1000};

// Resolution, TCP and TLS. Nothing of a request has been sent when this fails. The addresses
// are raced through the handshake: when one's handshake stalls (k_handshake_stall) the next
// address is tried in its place; the first verified session wins. on_stall runs at each stall;
// while TCP connects, its answer true makes the connection give way (see connect_first, which
// also tells times of each connect and learns from it when a connect has stalled).
BasicResult<Connection, HttpError> open_connection(TlsContext& tls, Resolver& resolver,
                                                   const HttpsUrl& url, const Deadline& deadline,
                                                   const std::function<bool()>& on_stall = {},
                                                   ConnectTimes* times = nullptr);

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
