#include <curl/curl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "src/gate/http_client.h"

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

struct Download {
    std::string body;
    size_t cap = 0;
    bool oversize = false;
    size_t seen = 0;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* d = static_cast<Download*>(user);
    size_t n = size * count;
    // Stop as soon as the body passes the cap instead of buffering whatever a hostile or
    // broken gate sends.
    if (d->body.size() + n > d->cap) {
        d->oversize = true;
        d->seen = d->body.size() + n;
        return 0;  // aborts the transfer
    }
    d->body.append(data, n);
    return n;
}

class CurlClient final : public HttpClient {
  public:
    BasicResult<HttpResponse, HttpError> post(const std::string& url, std::string_view content_type,
                                              std::string_view body,
                                              std::chrono::milliseconds timeout,
                                              size_t max_body) override {
        CURL* curl = curl_easy_init();
        if (!curl)
            return HttpError{"could not start the HTTP client"};
        Download download;
        download.cap = max_body;
        char errors[CURL_ERROR_SIZE] = {0};
        std::string content_type_header = "Content-Type: " + std::string(content_type);
        curl_slist* headers = curl_slist_append(nullptr, content_type_header.c_str());
        // No "Expect: 100-continue" round trip before the body.
        headers = curl_slist_append(headers, "Expect:");

        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // Redirects: at most 100, https only (never a downgrade), the POST kept as a POST.
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 100L);
        curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        // The program honours no proxy variables: an empty proxy disables them.
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        set_trust_store(curl);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);

        CURLcode code = curl_easy_perform(curl);
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        curl_off_t announced = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        curl_easy_cleanup(curl);
        curl_slist_free_all(headers);

        if (download.oversize) {
            HttpResponse response;
            response.status = status;
            response.oversize = true;
            response.body_length = download.seen;
            if (announced > 0 && static_cast<size_t>(announced) > response.body_length)
                response.body_length = static_cast<size_t>(announced);
            return response;
        }
        if (code != CURLE_OK)
            return HttpError{errors[0] ? std::string(errors) : curl_easy_strerror(code)};
        HttpResponse response;
        response.status = status;
        response.body = std::move(download.body);
        response.body_length = response.body.size();
        return response;
    }

  private:
    // Parsing a whole CA bundle costs tens of milliseconds per request; the system's hashed
    // directory is read lazily, one certificate per issuer. So: SSL_CERT_FILE, else
    // SSL_CERT_DIR, else /etc/ssl/certs, else the library's default.
    static void set_trust_store(CURL* curl) {
        const char* file = env_path("SSL_CERT_FILE");
        const char* dir = env_path("SSL_CERT_DIR");
        if (file || dir) {
            curl_easy_setopt(curl, CURLOPT_CAINFO, file);
            curl_easy_setopt(curl, CURLOPT_CAPATH, dir);
            return;
        }
        if (is_directory(k_system_cert_dir)) {
            curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
            curl_easy_setopt(curl, CURLOPT_CAPATH, k_system_cert_dir);
        }
    }
};

}  // namespace

std::unique_ptr<HttpClient> make_curl_client() {
    return std::make_unique<CurlClient>();
}

}  // namespace tessarin
