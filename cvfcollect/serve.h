// The collector's HTTP side (--http): its metrics in the Prometheus text
// format at /metrics, the line table as JSON at /api/lines for the live
// page, and the page itself. Every answer is rendered from the line table
// and the collector's counters when it is asked for, on the receive loop's
// thread: nothing is copied aside.
#pragma once
#include <cstddef>
#include <cstdint>

#include "http.h"
#include "web_assets.h"

struct Collector;
struct LineStats;

// The server with its routes and the page's charting library; stays in
// place from serveOpen to serveClose.
struct HttpSide {
    HttpServer server;
    WebLibrary lib;
    HttpRoute routes[kWebRoutesMax + 2];
    size_t nRoutes;
};

constexpr const char *kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char *kJsonType = "application/json";

// Loads the charting library (a failure is reported: the page then runs
// without charts), opens the server on c->opt.httpAddr and hands it to c's
// loop (c->http, and c->net.http for the listening line). Reports and
// returns 0 when the server cannot start.
int serveOpen(HttpSide *h, Collector *c);
void serveClose(HttpSide *h, Collector *c);

// The routes' renderers; ctx is the Collector.
int renderMetrics(void *ctx, const char *query, HttpBody *out);
// query: "" for the last kRateSecs seconds of each line's history, or
// "since=T" (T seconds since 1970) for the seconds after T only.
int renderLines(void *ctx, const char *query, HttpBody *out);

// What the page and the metrics show of a line at nowNs.
enum LineState { kLineReceiving, kLineSilent, kLineLosing };
constexpr unsigned kRateWindowSecs = 10;  // records per second: over the last whole seconds
constexpr unsigned kLossRecentSecs = 60;  // "losing": frames lost within this
LineState lineState(const Collector &c, const LineStats &ls, uint64_t nowNs);
// Records per second of ls over the kRateWindowSecs whole seconds before
// nowNs (fewer when the line is younger).
double lineRate(const LineStats &ls, uint64_t nowNs);
// TCP connections of senders open now.
unsigned tcpConnectionsOpen(const Collector &c);
// The wall-clock second of a monotonic-clock second, by the offset taken
// at the start of the run (so that the seconds of the history stay put
// when the wall clock is set).
int64_t wallSecOf(const Collector &c, uint64_t monoSec);
