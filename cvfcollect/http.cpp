// The HTTP side on libmicrohttpd in external-poll mode: the daemon's epoll
// descriptor goes into the receive loop's poll set, and every callback runs
// from httpRun on the loop's own thread.
#include "http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// One open connection: where its client is, and whether the request it is
// sending has its head complete (the time limit runs while it has not).
struct HttpConn {
    bool used;
    bool headed;     // the current request's head has arrived
    bool shut;       // closed by us for slowness; the daemon finishes it
    int fd;
    uint64_t sinceNs; // when the connection became ready for its next request
    uint8_t addr[16]; // client address, IPv4 as IPv4-mapped IPv6
    char *query;      // what followed '?' in the current request, or null
};

constexpr uint64_t kNsPerSec = 1000000000u;
constexpr uint64_t kNsPerMs = 1000000u;
constexpr const char *kAllow = "GET, HEAD";

// The headers that every response carries.
constexpr const char *kCommonHeaders[][2] = {
    {"Cache-Control", "no-store"},
    {"X-Content-Type-Options", "nosniff"},
    {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
    {"Referrer-Policy", "no-referrer"},
};

// --- Response bodies -----------------------------------------------------------

void httpBodyInit(HttpBody *b)
{
    *b = HttpBody{nullptr, 0, 0, false};
}

void httpBodyFree(HttpBody *b)
{
    free(b->data);
    httpBodyInit(b);
}

// Room for n more bytes (and a terminating NUL); 0 when out of memory.
static int reserve(HttpBody *b, size_t n)
{
    if (b->failed)
        return 0;
    if (b->size + n + 1 <= b->cap)
        return 1;
    size_t cap = b->cap ? b->cap : 4096;
    while (cap < b->size + n + 1) {
        if (cap > SIZE_MAX / 2) {
            b->failed = true;
            return 0;
        }
        cap *= 2;
    }
    char *p = (char *)realloc(b->data, cap);
    if (!p) {
        b->failed = true;
        return 0;
    }
    b->data = p;
    b->cap = cap;
    return 1;
}

void httpAppendBytes(HttpBody *b, const void *p, size_t n)
{
    if (!reserve(b, n))
        return;
    memcpy(b->data + b->size, p, n);
    b->size += n;
    b->data[b->size] = '\0';
}

void httpAppend(HttpBody *b, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    char small[256];
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n >= 0 && (size_t)n < sizeof small)
        httpAppendBytes(b, small, (size_t)n);
    else if (n >= 0 && reserve(b, (size_t)n)) {
        vsnprintf(b->data + b->size, (size_t)n + 1, fmt, again);
        b->size += (size_t)n;
    } else if (n < 0)
        b->failed = true;
    va_end(again);
}

// Length of the well-formed UTF-8 sequence at p (at most left bytes), 0 if
// it is not one.
static size_t utf8Length(const unsigned char *p, size_t left)
{
    size_t n = p[0] < 0x80 ? 1 : p[0] >= 0xc2 && p[0] <= 0xdf ? 2
             : p[0] >= 0xe0 && p[0] <= 0xef ? 3 : p[0] >= 0xf0 && p[0] <= 0xf4 ? 4 : 0;
    if (n == 0 || n > left)
        return 0;
    for (size_t i = 1; i < n; i++)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return n;
}

void httpAppendJson(HttpBody *b, const char *s)
{
    if (!s) {
        httpAppendBytes(b, "null", 4);
        return;
    }
    httpAppendBytes(b, "\"", 1);
    const unsigned char *p = (const unsigned char *)s;
    size_t left = strlen(s);
    while (left) {
        size_t n = utf8Length(p, left);
        if (n == 0)
            httpAppend(b, "\\ufffd");  // not UTF-8: JSON cannot carry the byte
        else if (*p == '"' || *p == '\\')
            httpAppend(b, "\\%c", *p);
        else if (*p < 0x20 || *p == 0x7f)
            httpAppend(b, "\\u%04x", *p);
        else
            httpAppendBytes(b, p, n);
        if (n == 0)
            n = 1;
        p += n;
        left -= n;
    }
    httpAppendBytes(b, "\"", 1);
}

// --- Addresses ---------------------------------------------------------------------

static int failWith(char *err, size_t errSize, const char *fmt, const char *what)
    __attribute__((format(printf, 3, 0)));
static int failWith(char *err, size_t errSize, const char *fmt, const char *what)
{
    snprintf(err, errSize, fmt, what);
    return 0;
}

static int parsePort(const char *p, uint16_t *port)
{
    size_t n = strlen(p);
    if (n == 0 || n > 5 || strspn(p, "0123456789") != n)
        return 0;
    unsigned long v = strtoul(p, nullptr, 10);
    if (v > 65535)
        return 0;
    *port = (uint16_t)v;
    return 1;
}

int httpParseAddr(const char *addrPort, char *host, size_t hostSize, uint16_t *port,
                  char *err, size_t errSize)
{
    constexpr const char *kForm = "invalid http address '%s': expected [ADDR:]PORT, "
                                  "e.g. 8080, 127.0.0.1:8080 or [::1]:8080";
    const char *colon = strrchr(addrPort, ':');
    const char *portText = colon ? colon + 1 : addrPort;
    size_t hostLen = 0;
    const char *hostText = addrPort;
    if (addrPort[0] == '[') {
        const char *close = strchr(addrPort, ']');
        if (!close || close[1] != ':')
            return failWith(err, errSize, kForm, addrPort);
        hostText = addrPort + 1;
        hostLen = (size_t)(close - hostText);
    } else if (colon) {
        if (strchr(addrPort, ':') != colon)
            return failWith(err, errSize,
                            "invalid http address '%s': an IPv6 address goes in brackets, "
                            "e.g. [::1]:8080", addrPort);
        hostLen = (size_t)(colon - addrPort);
    }
    if (!parsePort(portText, port))
        return failWith(err, errSize, kForm, addrPort);
    if (colon && hostLen == 0)
        return failWith(err, errSize, kForm, addrPort);
    if (hostLen >= hostSize)
        return failWith(err, errSize, "invalid http address '%s': address too long", addrPort);
    memcpy(host, hostText, hostLen);
    host[hostLen] = '\0';
    unsigned char probe[16];
    int family = addrPort[0] == '[' ? AF_INET6 : AF_INET;
    if (hostLen && inet_pton(family, host, probe) != 1)
        return failWith(err, errSize,
                        "invalid http address '%s': not a numeric IPv4 or [IPv6] address",
                        addrPort);
    return 1;
}

// The socket address for host (empty: every address of family) and port.
static socklen_t sockAddr(const char *host, int family, uint16_t port, sockaddr_storage *sa)
{
    memset(sa, 0, sizeof *sa);
    if (family == AF_INET) {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (host[0])
            inet_pton(AF_INET, host, &a.sin_addr);
        memcpy(sa, &a, sizeof a);
        return sizeof a;
    }
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    if (host[0])
        inet_pton(AF_INET6, host, &a.sin6_addr);
    memcpy(sa, &a, sizeof a);
    return sizeof a;
}

// An address as 16 bytes, IPv4 mapped into IPv6, so that a client counts
// once whichever way it came.
static void addrKey(const sockaddr *sa, uint8_t key[16])
{
    memset(key, 0, 16);
    if (sa->sa_family == AF_INET) {
        sockaddr_in a;
        memcpy(&a, sa, sizeof a);
        key[10] = key[11] = 0xff;
        memcpy(key + 12, &a.sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        sockaddr_in6 a;
        memcpy(&a, sa, sizeof a);
        memcpy(key, &a.sin6_addr, 16);
    }
}

static void describeBound(HttpServer *s, int fd)
{
    sockaddr_storage sa;
    socklen_t len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    getsockname(fd, (sockaddr *)&sa, &len);
    char host[INET6_ADDRSTRLEN];
    if (sa.ss_family == AF_INET) {
        sockaddr_in a;
        memcpy(&a, &sa, sizeof a);
        s->port = ntohs(a.sin_port);
        inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
        snprintf(s->name, sizeof s->name, "%s:%u", host, s->port);
    } else {
        sockaddr_in6 a;
        memcpy(&a, &sa, sizeof a);
        s->port = ntohs(a.sin6_port);
        inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        snprintf(s->name, sizeof s->name, "[%s]:%u", host, s->port);
    }
}

// A listening socket for host:port; -1 with errno set on failure. With no
// host, IPv6 with IPv4 mapped in, or IPv4 alone where the system has no IPv6.
static int listenOn(const char *host, bool bracketed, uint16_t port)
{
    int family = bracketed ? AF_INET6 : host[0] ? AF_INET : AF_INET6;
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && !host[0] && errno == EAFNOSUPPORT) {
        family = AF_INET;
        fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0)
        return -1;
    int on = 1, off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6 && !host[0])
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_storage sa;
    socklen_t len = sockAddr(host, family, port, &sa);
    if (bind(fd, (sockaddr *)&sa, len) != 0 || listen(fd, 128) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// --- Connections ---------------------------------------------------------------------

static HttpConn *connOf(MHD_Connection *c)
{
    const MHD_ConnectionInfo *ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return ci ? (HttpConn *)ci->socket_context : nullptr;
}

static void readyForRequest(HttpServer *s, HttpConn *hc)
{
    hc->headed = false;
    hc->sinceNs = s->nowNs;
    free(hc->query);
    hc->query = nullptr;
}

static MHD_Result onAccept(void *cls, const sockaddr *addr, socklen_t)
{
    HttpServer *s = (HttpServer *)cls;
    uint8_t key[16];
    addrKey(addr, key);
    unsigned same = 0;
    for (unsigned i = 0; i < s->limits.connections; i++)
        if (s->conns[i].used && memcmp(s->conns[i].addr, key, 16) == 0)
            same++;
    if (same < s->limits.perClient)
        return MHD_YES;
    s->stats.refused++;
    return MHD_NO;
}

static void onConnection(void *cls, MHD_Connection *c, void **socketCtx,
                         MHD_ConnectionNotificationCode what)
{
    HttpServer *s = (HttpServer *)cls;
    HttpConn *hc = (HttpConn *)*socketCtx;
    if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
        if (hc) {
            free(hc->query);
            *hc = HttpConn{};
            s->stats.open--;
        }
        return;
    }
    hc = nullptr;
    for (unsigned i = 0; i < s->limits.connections && !hc; i++)
        if (!s->conns[i].used)
            hc = &s->conns[i];
    *socketCtx = hc;
    if (!hc)
        return;  // cannot be: the daemon takes no more than there are slots
    const MHD_ConnectionInfo *fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo *addr = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    *hc = HttpConn{};
    hc->used = true;
    hc->fd = fd ? fd->connect_fd : -1;
    if (addr)
        addrKey(addr->client_addr, hc->addr);
    readyForRequest(s, hc);
    s->stats.accepted++;
    s->stats.open++;
}

// Paths are compared with the table as the client sent them: nothing is
// unescaped, so that no %00 cuts a path short and no %2e%2e climbs.
static size_t keepEscaped(void *, MHD_Connection *, char *s)
{
    return strlen(s);
}

// Called once the request line is in: keeps the query for render.
static void *onUri(void *, const char *uri, MHD_Connection *c)
{
    HttpConn *hc = connOf(c);
    const char *q = strchr(uri, '?');
    if (hc && q) {
        free(hc->query);
        hc->query = strdup(q + 1);
    }
    return nullptr;
}

static void onCompleted(void *cls, MHD_Connection *c, void **, MHD_RequestTerminationCode)
{
    HttpConn *hc = connOf(c);
    if (hc)
        readyForRequest((HttpServer *)cls, hc);
}

// When the next request head falls due (UINT64_MAX: none); with close, the
// connections whose head is overdue are closed.
static uint64_t sweepSlow(HttpServer *s, uint64_t nowNs, bool close)
{
    uint64_t limit = (uint64_t)s->limits.requestSeconds * kNsPerSec;
    uint64_t next = UINT64_MAX;
    for (unsigned i = 0; i < s->limits.connections && limit; i++) {
        HttpConn *hc = &s->conns[i];
        if (!hc->used || hc->headed || hc->shut)
            continue;
        uint64_t due = hc->sinceNs + limit;
        if (due > nowNs || !close) {
            next = due < next ? due : next;
            continue;
        }
        // The daemon sees the end of the stream and closes the connection.
        shutdown(hc->fd, SHUT_RDWR);
        hc->shut = true;
        s->stats.tooSlow++;
    }
    return next;
}

// --- Requests ---------------------------------------------------------------------------

static MHD_Result respond(HttpServer *s, MHD_Connection *c, unsigned status, MHD_Response *r,
                          const char *contentType)
{
    if (!r)
        return MHD_NO;  // out of memory: the daemon closes the connection
    for (const auto &h : kCommonHeaders)
        MHD_add_response_header(r, h[0], h[1]);
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, kAllow);
    MHD_Result ok = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    s->stats.requests++;
    s->stats.notFound += status == MHD_HTTP_NOT_FOUND;
    s->stats.badMethod += status == MHD_HTTP_METHOD_NOT_ALLOWED;
    return ok;
}

static MHD_Result respondText(HttpServer *s, MHD_Connection *c, unsigned status, const char *text)
{
    MHD_Response *r = MHD_create_response_from_buffer(strlen(text), (void *)text,
                                                      MHD_RESPMEM_PERSISTENT);
    return respond(s, c, status, r, "text/plain; charset=utf-8");
}

static MHD_Result serveRoute(HttpServer *s, MHD_Connection *c, const HttpRoute *rt,
                             const char *query)
{
    if (!rt->render) {
        MHD_Response *r = MHD_create_response_from_buffer(rt->fixedSize, (void *)rt->fixed,
                                                          MHD_RESPMEM_PERSISTENT);
        return respond(s, c, MHD_HTTP_OK, r, rt->contentType);
    }
    HttpBody body;
    httpBodyInit(&body);
    int status = rt->render(s->ctx, query ? query : "", &body);
    if (body.failed) {
        httpBodyFree(&body);
        return respondText(s, c, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    }
    MHD_Response *r = MHD_create_response_from_buffer_with_free_callback(body.size, body.data,
                                                                         &free);
    if (!r)
        httpBodyFree(&body);
    return respond(s, c, (unsigned)status, r, rt->contentType);
}

// Called when a request's head is in, then again for its body (if any) and
// once more at its end. A refusal goes out at once and ends the
// connection; an answer goes out at the end of the request, so the
// connection stays for the next one.
static MHD_Result onRequest(void *cls, MHD_Connection *c, const char *url, const char *method,
                            const char *, const char *, size_t *uploadSize, void **reqCtx)
{
    HttpServer *s = (HttpServer *)cls;
    HttpConn *hc = connOf(c);
    if (!*reqCtx) {
        *reqCtx = s;
        if (hc)
            hc->headed = true;
        if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return respondText(s, c, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
        return MHD_YES;
    }
    if (*uploadSize) {  // a body sent with GET: not looked at
        *uploadSize = 0;
        return MHD_YES;
    }
    for (size_t i = 0; i < s->nRoutes; i++)
        if (strcmp(url, s->routes[i].path) == 0)
            return serveRoute(s, c, &s->routes[i], hc ? hc->query : nullptr);
    return respondText(s, c, MHD_HTTP_NOT_FOUND, "not found\n");
}

// --- The server ---------------------------------------------------------------------------

int httpOpen(HttpServer *s, const char *addrPort, const HttpRoute *routes, size_t n, void *ctx,
             const HttpLimits *limits, char *err, size_t errSize)
{
    *s = HttpServer{};
    s->fd = -1;
    char host[INET6_ADDRSTRLEN];
    uint16_t port;
    if (!httpParseAddr(addrPort, host, sizeof host, &port, err, errSize))
        return 0;
    if (limits->connections == 0 || limits->perClient == 0) {
        snprintf(err, errSize, "http: the connection limits must be at least 1");
        return 0;
    }
    int lfd = listenOn(host, addrPort[0] == '[', port);
    if (lfd < 0) {
        snprintf(err, errSize, "cannot listen on http %s: %s", addrPort, strerror(errno));
        return 0;
    }
    describeBound(s, lfd);
    s->routes = routes;
    s->nRoutes = n;
    s->ctx = ctx;
    s->limits = *limits;
    s->conns = (HttpConn *)calloc(limits->connections, sizeof *s->conns);
    if (s->conns)
        s->daemon = MHD_start_daemon(
            MHD_USE_EPOLL, 0, onAccept, s, onRequest, s,
            MHD_OPTION_LISTEN_SOCKET, (MHD_socket)lfd,
            MHD_OPTION_CONNECTION_LIMIT, (unsigned)limits->connections,
            MHD_OPTION_CONNECTION_TIMEOUT, (unsigned)limits->idleSeconds,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, (size_t)limits->headerBytes,
            MHD_OPTION_NOTIFY_CONNECTION, onConnection, s,
            MHD_OPTION_NOTIFY_COMPLETED, onCompleted, s,
            MHD_OPTION_URI_LOG_CALLBACK, onUri, s,
            MHD_OPTION_UNESCAPE_CALLBACK, keepEscaped, nullptr,
            MHD_OPTION_STRICT_FOR_CLIENT, (int)1,
            MHD_OPTION_END);
    const MHD_DaemonInfo *info =
        s->daemon ? MHD_get_daemon_info(s->daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    if (!info) {
        snprintf(err, errSize, "cannot start the http server on %s", s->name);
        if (s->daemon)
            MHD_stop_daemon(s->daemon);
        else
            close(lfd);
        free(s->conns);
        *s = HttpServer{};
        s->fd = -1;
        return 0;
    }
    s->fd = info->epoll_fd;
    return 1;
}

int httpFd(const HttpServer *s)
{
    return s->fd;
}

uint64_t httpWakeNs(HttpServer *s, uint64_t nowNs)
{
    uint64_t next = sweepSlow(s, nowNs, false);
    MHD_UNSIGNED_LONG_LONG ms;
    if (MHD_get_timeout(s->daemon, &ms) == MHD_YES) {
        uint64_t due = ms >= (UINT64_MAX - nowNs) / kNsPerMs ? UINT64_MAX : nowNs + ms * kNsPerMs;
        next = due < next ? due : next;
    }
    return next;
}

void httpRun(HttpServer *s, uint64_t nowNs)
{
    s->nowNs = nowNs;
    sweepSlow(s, nowNs, true);
    MHD_run(s->daemon);
}

void httpClose(HttpServer *s)
{
    if (s->daemon)
        MHD_stop_daemon(s->daemon);  // closes the connections and the listening socket
    if (s->conns)
        for (unsigned i = 0; i < s->limits.connections; i++)
            free(s->conns[i].query);
    free(s->conns);
    *s = HttpServer{};
    s->fd = -1;
}
