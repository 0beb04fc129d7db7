// /api/lines: the collector and its lines as JSON, as the live page reads
// them (see web/page.js):
//   {"collector": {"version", "start_time", "now", "records_per_second",
//                  "records_total", "invalid_total", "tcp_connections_open",
//                  "capture_file" (null without -w), "capture_bytes",
//                  "write_errors"},
//    "lines": [{"gw", "line", "state" ("receiving", "silent", "losing"),
//               "records_per_second", "records_total", "tx", "rx",
//               "lost_last_minute", "lost_total", "last_record_time",
//               "history": {"start", "records": [...], "lost": [...]}}, ...]}
// sorted by gateway, then line. Times are seconds since 1970; history
// holds one count per second from start on, up to now: the last kRateSecs
// seconds since the line's first record, or with ?since=T the seconds
// after T only.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "run.h"
#include "serve.h"

namespace {

constexpr uint64_t kNsPerSec = 1000000000u;
constexpr const char *kStateNames[] = {"receiving", "silent", "losing"};

// "since=T" with T whole seconds since 1970; 1 with *since set (0 when the
// query is empty), 0 when the query is anything else.
int parseQuery(const char *query, uint64_t *since)
{
    *since = 0;
    if (!*query)
        return 1;
    if (strncmp(query, "since=", 6) != 0)
        return 0;
    const char *v = query + 6;
    size_t n = strlen(v);
    if (n == 0 || n > 15 || strspn(v, "0123456789") != n)
        return 0;
    *since = strtoull(v, nullptr, 10);
    return 1;
}

void collectorPart(HttpBody *out, const Collector &c, uint64_t nowNs)
{
    double rate = 0;
    for (unsigned k = 0; k < kLineSlots; k++)
        if (const LineStats *ls = c.lines.slots[k])
            rate += lineRate(*ls, nowNs);
    const Totals &tot = c.lines.totals;
    uint64_t nowWall = c.startWallNs + (nowNs - c.startNs);
    httpAppend(out,
               "\"collector\": {\"version\": null, \"start_time\": %.3f, \"now\": %.3f, "
               "\"records_per_second\": %.1f, \"records_total\": %" PRIu64 ", "
               "\"invalid_total\": %" PRIu64 ", \"tcp_connections_open\": %u, \"capture_file\": ",
               (double)c.startWallNs / 1e9, (double)nowWall / 1e9, rate, tot.records, tot.invalid,
               tcpConnectionsOpen(c));
    httpAppendJson(out, c.capture.capturing ? c.capture.w.path : nullptr);
    httpAppend(out, ", \"capture_bytes\": %" PRIu64 ", \"write_errors\": %" PRIu64 "}",
               c.capture.capturing ? c.capture.w.written : 0, c.capture.writeErrors);
}

// The seconds of ls's history from sinceSec (monotonic) on, up to now.
void history(HttpBody *out, const Collector &c, const LineStats &ls, uint64_t sinceSec,
             uint64_t nowSec)
{
    uint64_t firstSec = ls.firstNs / kNsPerSec;
    if (sinceSec < firstSec)
        sinceSec = firstSec;
    RateBucket buckets[kRateSecs];
    uint64_t start;
    unsigned n = sinceSec <= nowSec ? ratesSince(ls.rates, sinceSec, nowSec, buckets, &start) : 0;
    if (n == 0)
        start = nowSec + 1;
    httpAppend(out, "\"history\": {\"start\": %" PRId64 ", \"records\": [", wallSecOf(c, start));
    for (unsigned i = 0; i < n; i++)
        httpAppend(out, i ? ",%u" : "%u", buckets[i].records);
    httpAppend(out, "], \"lost\": [");
    for (unsigned i = 0; i < n; i++)
        httpAppend(out, i ? ",%u" : "%u", buckets[i].lost);
    httpAppend(out, "]}");
}

void linePart(HttpBody *out, const Collector &c, const LineStats &ls, uint64_t sinceSec,
              uint64_t nowNs)
{
    uint64_t nowSec = nowNs / kNsPerSec, records, lostRecent;
    ratesSum(ls.rates, nowSec, kLossRecentSecs, &records, &lostRecent);
    httpAppend(out,
               "{\"gw\": %u, \"line\": %u, \"state\": \"%s\", \"records_per_second\": %.1f, "
               "\"records_total\": %" PRIu64 ", \"tx\": %" PRIu64 ", \"rx\": %" PRIu64 ", "
               "\"lost_last_minute\": %" PRIu64 ", \"lost_total\": %" PRIu64 ", "
               "\"last_record_time\": %" PRIu64 ".%03u, ",
               ls.gwId, ls.lineNum, kStateNames[lineState(c, ls, nowNs)], lineRate(ls, nowNs),
               ls.records, ls.tx, ls.rx, lostRecent, ls.seq.lost, ls.lastSecs, ls.lastMs);
    history(out, c, ls, sinceSec, nowSec);
    httpAppend(out, "}");
}

} // namespace

int renderLines(void *ctx, const char *query, HttpBody *out)
{
    const Collector &c = *(const Collector *)ctx;
    uint64_t since;
    if (!parseQuery(query, &since)) {
        httpAppend(out, "{\"error\": \"the query is since=SECONDS or nothing\"}\n");
        return 400;
    }
    uint64_t now = monoNs();
    // The seconds after since, on the monotonic clock (0: all).
    int64_t sinceMono = since ? (int64_t)since - wallSecOf(c, 0) + 1 : 0;
    uint64_t sinceSec = sinceMono > 0 ? (uint64_t)sinceMono : 0;
    httpAppend(out, "{");
    collectorPart(out, c, now);
    httpAppend(out, ", \"lines\": [");
    const char *sep = "";
    for (unsigned k = 0; k < kLineSlots; k++) {
        const LineStats *ls = c.lines.slots[k];
        if (!ls)
            continue;
        httpAppend(out, "%s\n", sep);
        linePart(out, c, *ls, sinceSec, now);
        sep = ",";
    }
    httpAppend(out, "]}\n");
    return 200;
}
