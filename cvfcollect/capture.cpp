// The capture file: records to pcapng packets.
#include "capture.h"

#include <cstdio>
#include <cstring>

#include "options.h"
#include "run.h"
#include "line_table.h"

PcapWriter g_capture;
static int g_capturing;        // 1 once the capture was started
static char g_descr[2][128];   // if_description of records from UDP and from TCP

int captureToStdout(void)
{
    return g_options.capturePath && strcmp(g_options.capturePath, "-") == 0;
}

int captureOpen(const SignalState *sig)
{
    if (!g_options.capturePath)
        return 1;
    g_capture.sig = sig;
    snprintf(g_descr[0], sizeof g_descr[0], "cvfcollect udp %s", g_udpListener.name);
    snprintf(g_descr[1], sizeof g_descr[1], "cvfcollect tcp %s", g_tcpListener.name);
    g_capture.failNote =
        g_options.exitOnWriteError ? "; ending"
                            : "; records are still counted, and captured again once it can be written";
    PcapSettings set = {g_options.capturePath, "cvfcollect", g_options.linkType, g_options.rotateBytes,
                        g_options.rotateSecs * 1000000000u, g_options.keepFiles};
    g_capturing = 1;
    return pcapOpen(&g_capture, set, monoNs()) || !g_options.exitOnWriteError;
}

// Milliseconds since 1970, held at the largest value past it.
static uint64_t stampMs(const CvRecord &rec)
{
    if (rec.stampSecs > (UINT64_MAX - 999) / 1000)
        return UINT64_MAX;
    return rec.stampSecs * 1000 + rec.stampMsecs;
}

static void endOnFailure(void)
{
    if (g_capture.failed && g_options.exitOnWriteError)
        g_bStop = 1;
}

void captureRecord(const CvRecord &rec, uint64_t missed, const Listener *via, uint64_t nowNs)
{
    if (!g_capturing)
        return;
    char name[24];
    snprintf(name, sizeof name, "gw%u-line%u", rec.gwId, rec.lineNum);
    PcapPacket pkt = {lineKey(rec.gwId, rec.lineNum),
                      name,
                      g_descr[via == &g_tcpListener],
                      stampMs(rec),
                      rec.txFlag ? kEpbOutbound : kEpbInbound,
                      missed,
                      rec.frame,
                      rec.frameLen,
                      rec.frameLen};
    pcapWrite(&g_capture, pkt, nowNs);
    endOnFailure();
}

void captureFlush(void)
{
    if (!g_capturing || !g_capture.used)
        return;
    pcapFlush(&g_capture);
    endOnFailure();
}

void captureReopen(uint64_t nowNs)
{
    if (!g_capturing) {
        if (g_options.verbose)
            fprintf(stderr, "cvfcollect: SIGHUP: no capture file to start anew\n");
        return;
    }
    PcapReopen r = pcapReopen(&g_capture, nowNs);
    endOnFailure();
    if (!g_options.verbose)
        return;
    static const char *const kDone[] = {
        "started anew", "still in place: it goes on", "tried again", "standard output goes on"};
    fprintf(stderr, "cvfcollect: SIGHUP: capture file %s %s\n", g_capture.path, kDone[r]);
}

int captureClose(void)
{
    if (!g_capturing)
        return 1;
    g_capturing = 0;
    return pcapClose(&g_capture);
}
