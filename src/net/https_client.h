// The program's HTTPS/1.1 client over OpenSSL, behind the HttpClient seam.
#pragma once

#include <memory>
#include <stop_token>

#include "src/net/http_client.h"

namespace tessarin {

// The program's HTTPS/1.1 client over OpenSSL: TLS verified against SSL_CERT_FILE,
// SSL_CERT_DIR or the system's hashed certificate directory; no proxy settings from the
// environment. Every wait of its requests, and of the early connections it opens, ends at once
// when stop is requested.
std::unique_ptr<HttpClient> make_https_client(std::stop_token stop = {});

}  // namespace tessarin
