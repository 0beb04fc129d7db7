// The collector's HTTP side: a fixed table of routes served by libmicrohttpd
// from inside the receive loop, with no thread of its own. The loop adds
// httpFd() to its poll set (POLLIN), wakes by httpWakeNs() at the latest,
// and calls httpRun() when either came.
//
// Only GET and HEAD of the paths in the table are answered; other methods
// get 405 with an Allow header, other paths 404. A path is only ever
// compared with the table. Connections are capped in total and per client
// address; a connection idle too long, or slower than the time limit in
// delivering a request's head, is closed; a request head larger than the
// limit is refused and its connection closed.
#pragma once
#include <cstddef>
#include <cstdint>

// A response body being written: a growable byte buffer. An allocation
// failure is remembered (failed) and makes the request fail with 500.
struct HttpBody {
    char *data;
    size_t size;
    size_t cap;
    bool failed;
};

void httpBodyInit(HttpBody *b);
void httpBodyFree(HttpBody *b);
void httpAppendBytes(HttpBody *b, const void *p, size_t n);
void httpAppend(HttpBody *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A JSON string literal (quotes included) for s, or null for a null s.
void httpAppendJson(HttpBody *b, const char *s);

// One fixed path. render writes the body and returns the HTTP status
// (200, or 400 for a query it refuses); query is what followed '?' in the
// request ("" when nothing). A route without render serves the bytes in
// fixed (kept by the caller while the server runs).
struct HttpRoute {
    const char *path;
    const char *contentType;
    int (*render)(void *ctx, const char *query, HttpBody *out);
    const void *fixed;
    size_t fixedSize;
};

struct HttpLimits {
    unsigned connections;    // open at once, in total
    unsigned perClient;      // open at once from one address
    unsigned idleSeconds;    // a connection that sends or takes nothing for this long is closed
    unsigned requestSeconds; // a request's head must be complete within this from its start
    size_t headerBytes;      // memory per connection: a request head beyond about this is refused
};
constexpr HttpLimits kHttpDefaultLimits = {32, 8, 30, 10, 16384};

// What the server did, for the metrics and the tests.
struct HttpStats {
    uint64_t accepted;      // connections taken
    uint64_t refused;       // connections refused: their address held perClient already
    uint64_t tooSlow;       // connections closed for not completing a request head in time
    uint64_t requests;      // requests answered, whatever the status
    uint64_t notFound;      // of them 404
    uint64_t badMethod;     // of them 405
    unsigned open;          // connections open now
};

struct HttpConn;
struct MHD_Daemon;

struct HttpServer {
    MHD_Daemon *daemon;
    int fd;                   // to poll for POLLIN
    char name[64];            // the bound address, "127.0.0.1:8080" or "[::1]:8080"
    uint16_t port;            // the bound port (the one picked for port 0)
    const HttpRoute *routes;
    size_t nRoutes;
    void *ctx;
    HttpLimits limits;
    HttpConn *conns;          // limits.connections slots
    uint64_t nowNs;           // the loop's clock at the last httpRun
    HttpStats stats;
};

// Parses "[ADDR:]PORT" (PORT alone: every address, IPv6 and IPv4);
// ADDR is a numeric IPv4 address or a bracketed IPv6 one. Returns 1, or 0
// with a message in err.
int httpParseAddr(const char *addrPort, char *host, size_t hostSize, uint16_t *port,
                  char *err, size_t errSize);

// Binds addrPort and starts serving routes (n of them; kept by the caller)
// with ctx passed to each render. Returns 1, or 0 with a message in err.
// The daemon's callbacks hold s: it stays where it is until httpClose.
int httpOpen(HttpServer *s, const char *addrPort, const HttpRoute *routes, size_t n, void *ctx,
             const HttpLimits *limits, char *err, size_t errSize);
// The descriptor to poll for input.
int httpFd(const HttpServer *s);
// When httpRun is due at the latest on the monotonic clock (UINT64_MAX: only
// when httpFd is ready).
uint64_t httpWakeNs(HttpServer *s, uint64_t nowNs);
// Serves whatever is ready; closes connections past their time limits.
void httpRun(HttpServer *s, uint64_t nowNs);
// Closes every connection and the listening socket.
void httpClose(HttpServer *s);
