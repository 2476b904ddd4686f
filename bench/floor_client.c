/* The floor for one gate round trip: the least a client must do to send the gate's POSTs.
 *
 *   floor_client [-v] CAFILE PORT BODY_FILE...
 *
 * For each body file, in order: one TCP connection to 127.0.0.1:PORT (numeric, no name
 * lookup), TLS with the server certificate verified against CAFILE and checked for the IP
 * address 127.0.0.1, one HTTP/1.1 POST /gate with Content-Type text/plain and the file as the
 * body, the response read by Content-Length (or until the peer closes), then the connection
 * closed. Nothing else: no Noise, no JSON, no configuration. Exit status 0 when every response
 * was 2xx, 1 otherwise. -v prints "HTTP <status> <body bytes> <TLS version>" per request on standard error.
 *
 * Built by bench/request.sh: gcc -O2 -static floor_client.c -lssl -lcrypto
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#define HOST "127.0.0.1"
#define MAX_BODY (16 * 1024 * 1024)
#define MAX_HEAD 16384

static int fail(const char *what)
{
    fprintf(stderr, "floor_client: %s\n", what);
    ERR_print_errors_fp(stderr);
    return -1;
}

static char *read_file(const char *path, size_t *len)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    size_t cap = 4096, n = 0;
    char *buf = malloc(cap);
    while (buf) {
        size_t got = fread(buf + n, 1, cap - n, f);
        n += got;
        if (n < cap) {
            if (ferror(f)) {
                free(buf);
                buf = NULL;
            }
            break;
        }
        if (cap >= MAX_BODY) {
            free(buf);
            buf = NULL;
            break;
        }
        char *bigger = realloc(buf, cap * 2);
        if (!bigger) {
            free(buf);
            buf = NULL;
            break;
        }
        buf = bigger;
        cap *= 2;
    }
    fclose(f);
    *len = n;
    return buf;
}

static int write_all(SSL *ssl, const char *p, size_t n)
{
    while (n > 0) {
        size_t done = 0;
        if (SSL_write_ex(ssl, p, n, &done) != 1)
            return -1;
        p += done;
        n -= done;
    }
    return 0;
}

/* Reads into buf (capacity cap) until the peer closes or cap is reached; returns bytes read or -1. */
static long read_some(SSL *ssl, char *buf, size_t cap)
{
    size_t got = 0;
    if (SSL_read_ex(ssl, buf, cap, &got) == 1)
        return (long)got;
    int e = SSL_get_error(ssl, 0);
    /* A peer that closes without close_notify still ends the body when no length was given. */
    if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL || e == SSL_ERROR_SSL)
        return 0;
    return -1;
}

static long parse_content_length(const char *head, size_t head_len)
{
    const char *p = head;
    const char *end = head + head_len;
    while (p < end) {
        const char *eol = memchr(p, '\n', (size_t)(end - p));
        if (!eol)
            break;
        if ((size_t)(eol - p) > 15 && strncasecmp(p, "content-length:", 15) == 0)
            return strtol(p + 15, NULL, 10);
        p = eol + 1;
    }
    return -1;
}

/* One POST on a fresh connection; returns the HTTP status or -1. */
static int post_once(SSL_CTX *ctx, int port, const char *body, size_t body_len, long *reply_len,
                     const char **tls_version)
{
    int status = -1;
    SSL *ssl = NULL;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail("socket");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, HOST, &sa.sin_addr);
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        fail("connect");
        goto out;
    }

    ssl = SSL_new(ctx);
    if (!ssl || !SSL_set_fd(ssl, fd)) {
        fail("SSL_new");
        goto out;
    }
    /* The gate's certificate names the address; no SNI for an IP literal. */
    if (!X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), HOST)) {
        fail("set expected IP");
        goto out;
    }
    if (SSL_connect(ssl) != 1) {
        fail("TLS handshake");
        goto out;
    }

    char head[512];
    int head_len = snprintf(head, sizeof head,
                            "POST /gate HTTP/1.1\r\nHost: " HOST ":%d\r\nContent-Type: text/plain\r\n"
                            "Content-Length: %zu\r\nConnection: close\r\n\r\n",
                            port, body_len);
    if (write_all(ssl, head, (size_t)head_len) != 0 || write_all(ssl, body, body_len) != 0) {
        fail("write");
        goto out;
    }

    /* Headers first, then the body by Content-Length or until close. */
    char *buf = malloc(MAX_HEAD + 1);
    if (!buf)
        goto out;
    size_t have = 0;
    char *sep = NULL;
    while (!sep) {
        if (have == MAX_HEAD) {
            fail("response head too long");
            free(buf);
            goto out;
        }
        long n = read_some(ssl, buf + have, MAX_HEAD - have);
        if (n <= 0) {
            fail("response ended in the head");
            free(buf);
            goto out;
        }
        have += (size_t)n;
        buf[have] = '\0';
        sep = strstr(buf, "\r\n\r\n");
    }
    int code = 0;
    if (sscanf(buf, "HTTP/1.%*d %d", &code) != 1) {
        fail("bad status line");
        free(buf);
        goto out;
    }
    size_t head_bytes = (size_t)(sep + 4 - buf);
    long want = parse_content_length(buf, head_bytes);
    long body_got = (long)(have - head_bytes);
    free(buf);

    char chunk[16384];
    while (want < 0 || body_got < want) {
        long n = read_some(ssl, chunk, sizeof chunk);
        if (n < 0) {
            fail("read");
            goto out;
        }
        if (n == 0) {
            if (want >= 0) {
                fail("response shorter than its Content-Length");
                goto out;
            }
            break;
        }
        body_got += n;
        if (body_got > MAX_BODY) {
            fail("response too large");
            goto out;
        }
    }
    *reply_len = body_got;
    *tls_version = SSL_get_version(ssl);
    status = code;
    SSL_shutdown(ssl);

out:
    SSL_free(ssl);
    close(fd);
    return status;
}

int main(int argc, char **argv)
{
    int verbose = 0;
    int a = 1;
    if (a < argc && strcmp(argv[a], "-v") == 0) {
        verbose = 1;
        a++;
    }
    if (argc - a < 3) {
        fprintf(stderr, "usage: floor_client [-v] CAFILE PORT BODY_FILE...\n");
        return 2;
    }
    const char *cafile = argv[a];
    int port = atoi(argv[a + 1]);
    if (port <= 0 || port > 65535) {
        fprintf(stderr, "floor_client: bad port\n");
        return 2;
    }

    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx || SSL_CTX_load_verify_locations(ctx, cafile, NULL) != 1) {
        fail("cannot load CA file");
        return 1;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, NULL);

    int rc = 0;
    for (int i = a + 2; i < argc && rc == 0; i++) {
        size_t len = 0;
        char *body = read_file(argv[i], &len);
        if (!body) {
            fprintf(stderr, "floor_client: cannot read %s\n", argv[i]);
            rc = 1;
            break;
        }
        long reply_len = 0;
        const char *tls_version = "";
        int status = post_once(ctx, port, body, len, &reply_len, &tls_version);
        free(body);
        if (verbose && status > 0)
            fprintf(stderr, "HTTP %d %ld %s\n", status, reply_len, tls_version);
        if (status < 200 || status > 299)
            rc = 1;
    }
    SSL_CTX_free(ctx);
    return rc;
}
