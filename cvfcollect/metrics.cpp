// /metrics: the Prometheus text exposition format (0.0.4). Per line
// (labels gw and line, decimal), then for the collector; every family with
// its HELP and TYPE lines.
#include <cinttypes>
#include <cstring>

#include "run.h"
#include "serve.h"

namespace {

struct Family {
    const char *name;
    const char *type;
    const char *help;
};

// A per-line family and how a line's value is written: by direction
// (dir="tx" and "rx"), as a count, or by a function of its own.
struct LineFamily {
    Family f;
    uint64_t (*tx)(const LineStats &);  // with rx: a family by direction
    uint64_t (*rx)(const LineStats &);
    uint64_t (*count)(const LineStats &);
};

const LineFamily kLineFamilies[] = {
    {{"cvfcollect_records_total", "counter", "Valid records received from the line, by direction of its frame."},
     [](const LineStats &l) { return l.tx; }, [](const LineStats &l) { return l.rx; }, nullptr},
    {{"cvfcollect_frame_bytes_total", "counter", "Bytes of the frames received from the line, by direction."},
     [](const LineStats &l) { return l.frameBytesTx; },
     [](const LineStats &l) { return l.frameBytes - l.frameBytesTx; }, nullptr},
    {{"cvfcollect_frames_lost_total", "counter", "Frames the sender numbered that never arrived."},
     nullptr, nullptr, [](const LineStats &l) { return l.seq.lost; }},
    {{"cvfcollect_duplicates_total", "counter", "Records received twice."},
     nullptr, nullptr, [](const LineStats &l) { return l.seq.duplicates; }},
    {{"cvfcollect_out_of_order_total", "counter", "Records received after a later one of the line."},
     nullptr, nullptr, [](const LineStats &l) { return l.seq.outOfOrder; }},
    {{"cvfcollect_sender_restarts_total", "counter", "Times the sender started its numbering over."},
     nullptr, nullptr, [](const LineStats &l) { return l.seq.restarts; }},
};

const Family kLastRecord = {"cvfcollect_last_record_timestamp_seconds", "gauge",
                            "Time stamp of the line's last record, in seconds since 1970."};
const Family kSilent = {"cvfcollect_line_silent", "gauge",
                        "1 while the line, having carried records, has carried none for the silence time (--silent)."};

void head(HttpBody *out, const Family &f)
{
    httpAppend(out, "# HELP %s %s\n# TYPE %s %s\n", f.name, f.help, f.name, f.type);
}

void lineFamily(HttpBody *out, const LineTable &t, const LineFamily &lf)
{
    head(out, lf.f);
    for (unsigned k = 0; k < kLineSlots; k++) {
        const LineStats *ls = t.slots[k];
        if (!ls)
            continue;
        if (lf.count) {
            httpAppend(out, "%s{gw=\"%u\",line=\"%u\"} %" PRIu64 "\n", lf.f.name, ls->gwId,
                       ls->lineNum, lf.count(*ls));
            continue;
        }
        httpAppend(out, "%s{gw=\"%u\",line=\"%u\",dir=\"tx\"} %" PRIu64 "\n", lf.f.name,
                   ls->gwId, ls->lineNum, lf.tx(*ls));
        httpAppend(out, "%s{gw=\"%u\",line=\"%u\",dir=\"rx\"} %" PRIu64 "\n", lf.f.name,
                   ls->gwId, ls->lineNum, lf.rx(*ls));
    }
}

void lineTimes(HttpBody *out, const Collector &c, uint64_t nowNs)
{
    const LineTable &t = c.lines;
    head(out, kLastRecord);
    for (unsigned k = 0; k < kLineSlots; k++)
        if (const LineStats *ls = t.slots[k])
            httpAppend(out, "%s{gw=\"%u\",line=\"%u\"} %" PRIu64 ".%03u\n", kLastRecord.name,
                       ls->gwId, ls->lineNum, ls->lastSecs, ls->lastMs);
    head(out, kSilent);
    uint64_t silentNs = (uint64_t)c.opt.silentSecs * 1000000000u;
    for (unsigned k = 0; k < kLineSlots; k++)
        if (const LineStats *ls = t.slots[k])
            httpAppend(out, "%s{gw=\"%u\",line=\"%u\"} %d\n", kSilent.name, ls->gwId, ls->lineNum,
                       lineSilent(*ls, nowNs, silentNs) ? 1 : 0);
}

void collectorFamilies(HttpBody *out, const Collector &c)
{
    const Totals &tot = c.lines.totals;
    const PcapWriter &w = c.capture.w;
    const struct {
        Family f;
        uint64_t value;
    } counts[] = {
        {{"cvfcollect_invalid_records_total", "counter", "Records refused: malformed, cut short or out of bounds."}, tot.invalid},
        {{"cvfcollect_tcp_connections_open", "gauge", "TCP connections of senders open now."}, tcpConnectionsOpen(c)},
        {{"cvfcollect_tcp_connections_accepted_total", "counter", "TCP connections of senders accepted."}, tot.tcpConnections},
        {{"cvfcollect_tcp_connections_evicted_total", "counter", "Idle TCP connections closed to make room for a new one."}, tot.tcpEvicted},
        {{"cvfcollect_capture_bytes_written_total", "counter", "Bytes written to the capture files (-w)."}, w.bytesOut},
        {{"cvfcollect_capture_files_rotated_total", "counter", "Capture files closed for the next one (rotation, SIGHUP)."}, w.filesRotated},
        {{"cvfcollect_capture_write_errors_total", "counter", "Failed writes of the capture; each stops it until it can write again."}, c.capture.writeErrors},
    };
    for (const auto &m : counts) {
        head(out, m.f);
        httpAppend(out, "%s %" PRIu64 "\n", m.f.name, m.value);
    }
    const NatsTotals &nt = tot.nats;
    const struct {
        Family f;
        uint64_t value;
    } nats[] = {
        {{"cvfcollect_nats_published_total", "counter", "Records the stream acknowledged (--nats)."}, nt.published},
        {{"cvfcollect_nats_duplicates_total", "counter", "Of those, records the stream held already (same message id)."}, nt.duplicates},
        {{"cvfcollect_nats_unpublished_total", "counter", "Records never stored in the stream: the backlog was full."}, nt.unpublished},
        {{"cvfcollect_nats_backlog", "gauge", "Records held until the stream acknowledges them."}, nt.backlog},
        {{"cvfcollect_nats_resent_total", "counter", "Publishes repeated after a failure or a missing acknowledgement."}, nt.resent},
    };
    for (const auto &m : nats) {
        if (!nt.publishing)
            break;
        head(out, m.f);
        httpAppend(out, "%s %" PRIu64 "\n", m.f.name, m.value);
    }
    const Family start = {"process_start_time_seconds", "gauge",
                          "Start time of the process since unix epoch in seconds."};
    head(out, start);
    httpAppend(out, "%s %" PRIu64 ".%03u\n", start.name, c.startWallNs / 1000000000u,
               (unsigned)(c.startWallNs / 1000000u % 1000u));
}

} // namespace

int renderMetrics(void *ctx, const char *, HttpBody *out)
{
    const Collector &c = *(const Collector *)ctx;
    uint64_t now = monoNs();
    for (const LineFamily &lf : kLineFamilies)
        lineFamily(out, c.lines, lf);
    lineTimes(out, c, now);
    collectorFamilies(out, c);
    return 200;
}
