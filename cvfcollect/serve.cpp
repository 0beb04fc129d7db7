// The HTTP side's server and routes, and the line states both renderers
// show.
#include "serve.h"

#include <cstdio>

#include "run.h"

constexpr uint64_t kNsPerSec = 1000000000u;

int serveOpen(HttpSide *h, Collector *c)
{
    if (!webLibraryLoad(&h->lib, webLibraryDir()))
        fprintf(stderr, "cvfcollect: http: the live page has no charts: %s\n", h->lib.error);
    h->nRoutes = webRoutes(&h->lib, h->routes, kWebRoutesMax);
    h->routes[h->nRoutes++] = {"/metrics", kMetricsType, renderMetrics, nullptr, 0};
    h->routes[h->nRoutes++] = {"/api/lines", kJsonType, renderLines, nullptr, 0};
    char err[256];
    if (!httpOpen(&h->server, c->opt.httpAddr, h->routes, h->nRoutes, c, &kHttpDefaultLimits,
                  err, sizeof err)) {
        fprintf(stderr, "cvfcollect: %s\n", err);
        webLibraryFree(&h->lib);
        return 0;
    }
    c->http = &h->server;
    Listener &l = c->net.http;
    l.fd = httpFd(&h->server);
    l.port = h->server.port;
    snprintf(l.name, sizeof l.name, "%s", h->server.name);
    return 1;
}

void serveClose(HttpSide *h, Collector *c)
{
    if (!c->http)
        return;
    httpClose(&h->server);
    webLibraryFree(&h->lib);
    c->http = nullptr;
    c->net.http.fd = -1;
}

LineState lineState(const Collector &c, const LineStats &ls, uint64_t nowNs)
{
    if (lineSilent(ls, nowNs, (uint64_t)c.opt.silentSecs * kNsPerSec))
        return kLineSilent;
    uint64_t records, lost;
    ratesSum(ls.rates, nowNs / kNsPerSec, kLossRecentSecs, &records, &lost);
    return lost ? kLineLosing : kLineReceiving;
}

double lineRate(const LineStats &ls, uint64_t nowNs)
{
    uint64_t nowSec = nowNs / kNsPerSec, firstSec = ls.firstNs / kNsPerSec;
    uint64_t span = nowSec - firstSec < kRateWindowSecs ? nowSec - firstSec : kRateWindowSecs;
    if (span == 0)
        return 0;
    uint64_t records, lost;
    ratesSum(ls.rates, nowSec - 1, (unsigned)span, &records, &lost);
    return (double)records / (double)span;
}

unsigned tcpConnectionsOpen(const Collector &c)
{
    unsigned n = 0;
    for (unsigned i = 0; i < c.conns.size; i++)
        n += c.conns.slots[i].fd >= 0;
    return n;
}

int64_t wallSecOf(const Collector &c, uint64_t monoSec)
{
    int64_t offsetNs = (int64_t)c.startWallNs - (int64_t)c.startNs;
    int64_t offsetSec = (offsetNs + (int64_t)kNsPerSec / 2) / (int64_t)kNsPerSec;
    return (int64_t)monoSec + offsetSec;
}
