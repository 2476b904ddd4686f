#include "src/net/tls_context.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <cstdlib>

#include "src/base/posix.h"

namespace tessarin {

namespace {

constexpr char k_system_cert_dir[] = "/etc/ssl/certs";

const char* env_path(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

bool is_directory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// The trust store the environment picks. Parsing a whole CA bundle costs tens of milliseconds
// per request; the system's hashed directory is read lazily, one certificate per issuer. So:
// SSL_CERT_FILE and SSL_CERT_DIR when set, else /etc/ssl/certs, else the library's default.
struct TrustStore {
    const char* file = nullptr;
    const char* dir = nullptr;
    bool from_environment = false;
};

TrustStore chosen_trust_store() {
    TrustStore store{env_path("SSL_CERT_FILE"), env_path("SSL_CERT_DIR")};
    store.from_environment = store.file || store.dir;
    if (!store.from_environment && is_directory(k_system_cert_dir))
        store.dir = k_system_cert_dir;
    return store;
}

BasicResult<void, HttpError> set_trust_store(SSL_CTX* ctx) {
    const TrustStore store = chosen_trust_store();
    if (!store.file && !store.dir) {
        SSL_CTX_set_default_verify_paths(ctx);
        return {};
    }
    if (SSL_CTX_load_verify_locations(ctx, store.file, store.dir) != 1)
        return HttpError{std::string("error setting certificate verify locations: CAfile: ") +
                         (store.file ? store.file : "none") +
                         " CApath: " + (store.dir ? store.dir : "none")};
    return {};
}

// A context without its trust store yet (see TlsContext).
BasicResult<SslCtxPtr, HttpError> make_context() {
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return HttpError{"could not set up TLS: " + describe_tls_failure()};
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    // Every request has a TLS session of its own: nothing is kept for resumption.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    // A close without close_notify ends the stream like any other close: the response's own
    // framing (Content-Length, chunked) tells a complete body from one cut short.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    return ctx;
}

// The library's chain verification, after the trust store is read (arg: the TlsContext).
int verify_after_loading_trust(X509_STORE_CTX* store_ctx, void* arg) {
    if (static_cast<TlsContext*>(arg)->load_trust_store().is_error()) {
        X509_STORE_CTX_set_error(store_ctx, X509_V_ERR_UNSPECIFIED);
        return 0;
    }
    return X509_verify_cert(store_ctx);
}

}  // namespace

std::string describe_tls_failure(int error, int saved_errno) {
    if (unsigned long e = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        return text;
    }
    if (error == SSL_ERROR_SYSCALL && saved_errno != 0)
        return error_text(saved_errno);
    if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN)
        return "connection closed by the server";
    return "SSL error " + std::to_string(error);
}

BasicResult<SSL_CTX*, HttpError> TlsContext::get() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_ctx) {
        auto ctx = make_context();
        if (ctx.is_error())
            return ctx.release_error();
        m_ctx = ctx.release_value();
        SSL_CTX_set_cert_verify_callback(m_ctx.get(), verify_after_loading_trust, this);
    }
    return m_ctx.get();
}

BasicResult<void, HttpError> TlsContext::load_trust_store() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_tried) {
        m_tried = true;
        auto loaded = set_trust_store(m_ctx.get());
        if (loaded.is_error())
            m_error = loaded.release_error();
    }
    if (m_error)
        return *m_error;
    return {};
}

std::optional<HttpError> TlsContext::load_error() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

std::string trust_store_name() {
    const TrustStore store = chosen_trust_store();
    std::string name;
    if (store.file)
        name.append("SSL_CERT_FILE=").append(store.file);
    if (store.file && store.dir && store.from_environment)
        name.append(" and ");
    if (store.dir && store.from_environment)
        name.append("SSL_CERT_DIR=").append(store.dir);
    if (!store.from_environment)
        name = store.dir ? std::string("the system's, ") + store.dir : "the library's default";
    return name;
}

}  // namespace tessarin
