// The capture file: records to pcapng packets.
#include "capture.h"

#include <cstdio>
#include <cstring>

#include "options.h"
#include "line_table.h"

// Reports what the writer has to tell; returns ok.
static int reported(Capture *c, int ok)
{
    PcapNotice n;
    while (pcapNextNotice(&c->w, &n)) {
        char text[4608];
        pcapNoticeText(n, text, sizeof text);
        c->writeErrors += n.kind == kPcapDown;
        fprintf(stderr, "cvfcollect: %s%s\n", text, n.kind == kPcapDown ? c->failNote : "");
    }
    if (c->w.noticesLost) {
        fprintf(stderr, "cvfcollect: capture file %s: %llu further notices were dropped\n",
                c->w.path, (unsigned long long)c->w.noticesLost);
        c->w.noticesLost = 0;
    }
    return ok;
}

int captureToStdout(const Options &o)
{
    return o.capturePath && strcmp(o.capturePath, "-") == 0;
}

int captureOpen(Capture *c, const Options &o, const Listeners &l, const WaitPolicy *wait,
                uint64_t nowNs)
{
    c->capturing = 0;
    if (!o.capturePath)
        return 1;
    c->w.wait = wait;
    snprintf(c->descr[0], sizeof c->descr[0], "cvfcollect udp %s", l.udp.name);
    snprintf(c->descr[1], sizeof c->descr[1], "cvfcollect tcp %s", l.tcp.name);
    snprintf(c->descr[2], sizeof c->descr[2], "cvfcollect stream %s", o.stream);
    c->failNote =
        o.exitOnWriteError ? "; ending"
                           : "; records are still counted, and captured again once it can be written";
    PcapSettings set = {o.capturePath, "cvfcollect", o.linkType, o.rotateBytes,
                        o.rotateSecs * 1000000000u, o.keepFiles};
    c->capturing = 1;
    int ok = pcapOpen(&c->w, set, nowNs);
    return reported(c, ok);
}

// Milliseconds since 1970, held at the largest value past it.
static uint64_t stampMs(const CvRecord &rec)
{
    if (rec.stampSecs > (UINT64_MAX - 999) / 1000)
        return UINT64_MAX;
    return rec.stampSecs * 1000 + rec.stampMsecs;
}

int captureRecord(Capture *c, const CvRecord &rec, uint64_t missed, int via, uint64_t streamSeq,
                  uint64_t nowNs)
{
    if (!c->capturing)
        return 1;
    char name[24];
    snprintf(name, sizeof name, "gw%u-line%u", rec.gwId, rec.lineNum);
    char comment[kMaxEpbComment];
    unsigned long long seq = streamSeq >> kKeyIndexBits;
    unsigned index = (unsigned)(streamSeq & ((1u << kKeyIndexBits) - 1));
    if (streamSeq && index)
        snprintf(comment, sizeof comment, "nats-seq=%llu/%u", seq, index);
    else if (streamSeq)
        snprintf(comment, sizeof comment, "nats-seq=%llu", seq);
    PcapPacket pkt = {lineKey(rec.gwId, rec.lineNum),
                      name,
                      c->descr[via < 3 ? via : 0],
                      stampMs(rec),
                      rec.txFlag ? kEpbOutbound : kEpbInbound,
                      missed,
                      rec.frame,
                      rec.frameLen,
                      rec.frameLen,
                      streamSeq ? comment : nullptr};
    pcapWrite(&c->w, pkt, nowNs);
    return reported(c, !c->w.failed);
}

int captureFlush(Capture *c)
{
    if (!c->capturing)
        return 1;
    if (c->w.used)
        pcapFlush(&c->w);
    return reported(c, !c->w.failed);
}

int captureReopen(Capture *c, uint64_t nowNs, int verbose)
{
    if (!c->capturing) {
        if (verbose)
            fprintf(stderr, "cvfcollect: SIGHUP: no capture file to start anew\n");
        return 1;
    }
    PcapReopen r = pcapReopen(&c->w, nowNs);
    reported(c, 1);
    if (verbose) {
        static const char *const kDone[] = {
            "started anew", "still in place: it goes on", "tried again", "standard output goes on"};
        fprintf(stderr, "cvfcollect: SIGHUP: capture file %s %s\n", c->w.path, kDone[r]);
    }
    return !c->w.failed;
}

int captureClose(Capture *c)
{
    if (!c->capturing)
        return 1;
    c->capturing = 0;
    return reported(c, pcapClose(&c->w));
}
