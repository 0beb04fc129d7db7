// Receive loop.
#include "run.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "capture.h"
#include "dump.h"
#include "options.h"
#include "print.h"
#include "summary.h"
#include "line_table.h"

SignalState g_signals;
int g_bStop;
Options g_options;

uint64_t monoNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void takeRecord(const CvRecord &rec, const uint8_t *raw, const Listener *via, uint64_t nowNs)
{
    uint64_t missed = statsRecord(rec, nowNs);
    captureRecord(rec, missed, via, nowNs);
    dumpWrite(&g_dump, raw, rec.recordLen);
    if (g_options.print)
        printRecord(stdout, rec, g_options.hex, g_options.utc);
    if (g_options.countLimit && g_totals.records >= g_options.countLimit)
        g_bStop = 1;
}

void takeInvalid(const char *from, RecordCheck why, const uint8_t *p, size_t len, int version)
{
    statsInvalid(why, p, len, version);
    dumpWrite(&g_dumpInvalid, p, len);
    if (g_options.print)
        printInvalid(stdout, from, why, p, len);
    else if (g_options.verbose)
        printInvalid(stderr, from, why, p, len);
}

void takeDatagram(const uint8_t *p, size_t len, const struct sockaddr_storage *from,
                  uint64_t nowNs)
{
    CvRecord rec;
    RecordCheck c = kRecSizeMismatch;
    if (len <= kUdpSlot)
        c = decodeDatagram(p, len, g_options.udpVersion, g_options.maxFrame, &rec);
    if (c == kRecOk) {
        takeRecord(rec, p, &g_udpListener, nowNs);
        return;
    }
    char name[80] = "udp";
    if (g_options.print || g_options.verbose) {
        memcpy(name, "udp ", 4);
        formatAddr(from, name + 4, sizeof name - 4);
    }
    takeInvalid(name, c, p, len < kUdpSlot ? len : kUdpSlot, g_options.udpVersion);
}

static void reportLostSync(Conn *c, RecordCheck why)
{
    g_totals.syncLosses++;
    fprintf(stderr, "cvfcollect: tcp %s: lost sync at stream offset %llu (%s); connection dropped\n",
            c->peer, (unsigned long long)c->stream.taken, kRecordCheckName[why]);
    char name[80];
    snprintf(name, sizeof name, "tcp %s", c->peer);
    takeInvalid(name, why, streamPendingBytes(&c->stream), streamPending(&c->stream),
                c->stream.version);
}

int takeStream(Conn *c, uint64_t nowNs)
{
    CvRecord rec;
    RecordCheck why = kRecOk;
    for (;;) {
        const uint8_t *raw = streamPendingBytes(&c->stream);
        StreamStep step = streamNext(&c->stream, &rec, &why);
        if (step == kStreamNeedMore)
            return 1;
        if (step == kStreamLostSync) {
            reportLostSync(c, why);
            return 0;
        }
        takeRecord(rec, raw, &g_tcpListener, nowNs);
        c->records++;
        if (g_options.tcpCloseAfter && c->records >= g_options.tcpCloseAfter) {
            if (g_options.verbose)
                fprintf(stderr, "cvfcollect: tcp %s: closing after %llu records\n", c->peer,
                        (unsigned long long)c->records);
            return 0;
        }
        if (g_bStop)
            return 1;
    }
}

static void onSignal(int sig)
{
    volatile sig_atomic_t *count = sig == SIGUSR1  ? &g_signals.reports
                                   : sig == SIGHUP ? &g_signals.reopens
                                                   : &g_signals.stops;
    *count = *count + 1;
}

void installSignals(void)
{
    static const int kHandled[] = {SIGINT, SIGTERM, SIGUSR1, SIGHUP};
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : kHandled)
        sigaddset(&sa.sa_mask, s);  // one handler at a time: the counts stay exact
    sigset_t block;
    sigemptyset(&block);
    for (int s : kHandled) {
        struct sigaction old;
        if (s == SIGHUP && sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;  // started immune to hang-ups (nohup): it stays so
        sigaction(s, &sa, nullptr);
        sigaddset(&block, s);
    }
    signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &block, &g_signals.waitMask);
    for (int s : kHandled)
        sigdelset(&g_signals.waitMask, s);
}

void printSummaryNow(void)
{
    FILE *out = captureToStdout() ? stderr : stdout;
    printSummary(out, g_options.utc);
    fflush(out);
}

// Drains the UDP socket, a bounded number of batches at a time so that TCP
// connections get their turn.
static void serviceUdp(void)
{
    for (int batch = 0; batch < 16 && !g_bStop; batch++) {
        int n = udpReceive();
        uint64_t now = monoNs();
        for (int i = 0; i < n && !g_bStop; i++)
            takeDatagram(g_udpBuf[i], g_udpLen[i], &g_udpFrom[i], now);
        if (n < kUdpBatch)
            return;
    }
}

static void connClosed(Conn *c)
{
    size_t left = streamPending(&c->stream);
    if (left) {
        fprintf(stderr, "cvfcollect: tcp %s: connection ended inside a record (%zu bytes)\n",
                c->peer, left);
        char name[80];
        snprintf(name, sizeof name, "tcp %s", c->peer);
        takeInvalid(name, kRecTruncated, streamPendingBytes(&c->stream), left, c->stream.version);
    }
    if (g_options.verbose)
        fprintf(stderr, "cvfcollect: tcp %s: closed after %llu records\n", c->peer,
                (unsigned long long)c->records);
    closeConn(c);
}

enum ReadResult { kReadData, kReadNone, kReadGone };

// Reads once from a connection and takes the whole records it completes.
static ReadResult readConn(Conn *c)
{
    size_t before = streamPending(&c->stream);
    uint64_t records = c->records;
    size_t room;
    uint8_t *tail = streamTail(&c->stream, &room);
    ssize_t n = read(c->fd, tail, room);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return kReadNone;
    if (n <= 0) {
        if (n < 0 && g_options.verbose)
            fprintf(stderr, "cvfcollect: tcp %s: %s\n", c->peer, strerror(errno));
        connClosed(c);
        return kReadGone;
    }
    streamCommit(&c->stream, (size_t)n);
    uint64_t now = monoNs();
    if (!takeStream(c, now)) {
        closeConn(c);
        return kReadGone;
    }
    connNoteRead(c, before, records, now);
    return kReadData;
}

// Takes what a connection has waiting before it is closed; 0 when it
// ended meanwhile.
static int drainConn(Conn *c)
{
    for (int i = 0; i < 16; i++) {
        ReadResult r = readConn(c);
        if (r != kReadData)
            return r == kReadNone;
    }
    return 1;
}

// Closes connection c of t to make room for peer.
static void evictConn(ConnTable *t, Conn *c, const char *peer, uint64_t nowNs)
{
    double idle = (double)(nowNs - c->lastNs) / 1e9;
    if (!drainConn(c))
        return;
    g_totals.tcpEvicted++;
    evictionNoted(&t->evicted, nowNs);
    if (g_options.verbose)
        fprintf(stderr, "cvfcollect: tcp %s: %llu records, idle for %.1f s, closed to make room "
                        "for %s\n", c->peer, (unsigned long long)c->records, idle, peer);
    connClosed(c);
}

// Gives an accepted connection a slot, when every slot is taken the one
// of the connection that gives way (see evictionVictim).
static void takeConn(ConnTable *t, int fd, const char *peer)
{
    uint64_t now = monoNs();
    Conn *c = freeSlot(t);
    if (!c) {
        c = evictionVictim(t, now);
        if (c)
            evictConn(t, c, peer, now);
    }
    if (!c || !connStart(c, fd, peer, g_options.tcpVersion, g_options.maxFrame, now)) {
        fprintf(stderr, "cvfcollect: tcp %s: refused, no memory for its buffer\n", peer);
        close(fd);
        return;
    }
    g_totals.tcpConnections++;
    if (g_options.verbose)
        fprintf(stderr, "cvfcollect: tcp %s: connected\n", c->peer);
}

// Accepts until the queue is empty, in turns of a bounded size so that
// the other sockets are served between them.
static void serviceAccept(ConnTable *t)
{
    for (int i = 0; i < 256; i++) {
        char peer[64];
        int fd = acceptOne(peer, sizeof peer);
        if (fd < 0)
            return;
        takeConn(t, fd, peer);
    }
}

// Closes the connections that have sat inside a record for longer than
// the stall time-out; returns when the next one is due (UINT64_MAX for
// none).
static uint64_t closeStalled(ConnTable *t, uint64_t nowNs)
{
    uint64_t stallNs = (uint64_t)(g_options.tcpStallTimeout * 1e9);
    uint64_t next = UINT64_MAX;
    for (unsigned i = 0; i < t->size; i++) {
        Conn *c = &t->slots[i];
        uint64_t due = stallDue(*c, stallNs);
        if (due <= nowNs) {
            if (!drainConn(c))
                continue;  // it ended meanwhile
            due = stallDue(*c, stallNs);  // what was waiting may have completed the record
        }
        if (due > nowNs) {
            if (due < next)
                next = due;
            continue;
        }
        g_totals.tcpStalled++;
        fprintf(stderr, "cvfcollect: tcp %s: stalled inside a record for %.1f s, closed\n",
                c->peer, (double)(nowNs - c->recordNs) / 1e9);
        connClosed(c);
    }
    return next;
}

// Time left until the next time limit or wakeNs, for ppoll; null for none.
static struct timespec *waitLimit(uint64_t startNs, uint64_t nowNs, uint64_t wakeNs,
                                  struct timespec *ts)
{
    uint64_t due = UINT64_MAX;
    if (g_options.durationLimit > 0)
        due = startNs + (uint64_t)(g_options.durationLimit * 1e9);
    if (g_options.idleLimit > 0 && g_totals.records) {
        uint64_t idleDue = g_totals.lastNs + (uint64_t)(g_options.idleLimit * 1e9);
        if (idleDue < due)
            due = idleDue;
    }
    if (due <= nowNs) {
        g_bStop = 1;
        return nullptr;
    }
    if (wakeNs < due)
        due = wakeNs;
    if (due == UINT64_MAX)
        return nullptr;
    uint64_t left = due - nowNs;
    ts->tv_sec = (time_t)(left / 1000000000u);
    ts->tv_nsec = (long)(left % 1000000000u);
    return ts;
}

// Fills the poll set: UDP, TCP listener, then the open connections.
static int pollSet(ConnTable *t)
{
    int n = 0;
    if (g_udpListener.fd >= 0)
        t->fds[n++] = {g_udpListener.fd, POLLIN, 0};
    if (g_tcpListener.fd >= 0)
        t->fds[n++] = {g_tcpListener.fd, POLLIN, 0};
    for (unsigned i = 0; i < t->size; i++) {
        Conn *c = &t->slots[i];
        if (c->fd < 0)
            continue;
        t->polled[n] = c;
        t->fds[n++] = {c->fd, POLLIN, 0};
    }
    return n;
}

// Acts on SIGUSR1 and SIGHUP received since the counts in seen.
static void serveSignals(SignalState *seen, uint64_t nowNs)
{
    if (seen->reports != g_signals.reports) {
        seen->reports = g_signals.reports;
        printSummaryNow();
    }
    if (seen->reopens != g_signals.reopens) {
        seen->reopens = g_signals.reopens;
        captureReopen(nowNs);
    }
}

void runCollector(ConnTable *t)
{
    uint64_t start = monoNs();
    SignalState seen = g_signals;
    while (!g_signals.stops && !g_bStop) {
        captureFlush();  // the capture is written out whenever the sockets are drained
        uint64_t now = monoNs();
        serveSignals(&seen, now);
        if (evictionReportDue(t->evicted) <= now)
            evictionReport(&t->evicted, now, stderr);
        uint64_t wake = closeStalled(t, now);
        if (evictionReportDue(t->evicted) < wake)
            wake = evictionReportDue(t->evicted);
        struct timespec ts;
        struct timespec *limit = waitLimit(start, now, wake, &ts);
        if (g_bStop)
            break;
        fflush(stdout);  // record lines reach their reader before the loop waits
        int n = pollSet(t);
        int r = ppoll(t->fds, (nfds_t)n, limit, &g_signals.waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "cvfcollect: poll failed: %s\n", strerror(errno));
            break;
        }
        for (int i = 0; i < n && !g_bStop; i++) {
            const struct pollfd &p = t->fds[i];
            if (!p.revents)
                continue;
            if (p.fd == g_udpListener.fd)
                serviceUdp();
            else if (p.fd == g_tcpListener.fd)
                serviceAccept(t);
            else if (t->polled[i]->fd == p.fd)  // not closed to make room meanwhile
                readConn(t->polled[i]);
        }
    }
    evictionReport(&t->evicted, monoNs(), stderr);
}
