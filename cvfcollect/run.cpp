// Receive loop.
#include "run.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <cstdlib>

#include <initializer_list>

#include "http.h"
#include "nats_source.h"
#include "publisher.h"
#include "print.h"
#include "summary.h"

// The counts the signal handler raises, by kind: a handler may touch
// nothing but volatile sig_atomic_t objects of static storage, so these
// stay here, file-static, and the rest of the run reads them through
// stopAsked, serveSignals and the wait policy.
enum { kSigStop, kSigReport, kSigReopen, kSigKinds };
static volatile sig_atomic_t s_signalCounts[kSigKinds];

uint64_t monoNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

uint64_t wallNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

int collectorOpen(Collector *c, const Options &o)
{
    c->opt = o;
    c->net = noListeners();
    c->udp = nullptr;
    c->conns = {};
    c->capture = {};
    c->dump = dumpNone();
    c->dumpInvalid = dumpNone();
    c->wait = {};
    c->seen = {};
    c->stop = 0;
    c->alarms = {};
    c->http = nullptr;
    c->pub = nullptr;
    c->src = nullptr;
    c->startNs = monoNs();
    c->startWallNs = wallNs();
    if (!lineTableOpen(&c->lines) || (o.listenUdp && !(c->udp = udpBatchNew()))) {
        fprintf(stderr, "cvfcollect: no memory for the line table and the receive buffers\n");
        collectorClose(c);
        return 0;
    }
    unsigned httpFds = o.httpAddr ? kHttpDefaultLimits.connections + 2 : 0;  // connections, listener, epoll
    unsigned natsFds = o.natsUrls ? 1 : 0;  // the publisher's acknowledgements
    if (!connTableOpen(&c->conns, o.listenTcp ? o.maxConns : 0, httpFds + natsFds)) {
        collectorClose(c);
        return 0;
    }
    return 1;
}

void collectorClose(Collector *c)
{
    connTableClose(&c->conns);
    closeListeners(&c->net);
    udpBatchFree(c->udp);
    c->udp = nullptr;
    lineTableClose(&c->lines);
}

// What a capture call returned: a failed write ends the run with
// --exit-on-write-error (the writer has reported it).
static void captureWent(Collector *c, int ok)
{
    if (!ok && c->opt.exitOnWriteError)
        c->stop = 1;
}

void takeRecord(Collector *c, const CvRecord &rec, const uint8_t *raw, RecordVia via,
                uint64_t streamSeq, uint64_t nowNs)
{
    const Options &o = c->opt;
    alarmsRecord(&c->lines, rec.gwId, rec.lineNum, o, nowNs, stderr);
    uint64_t missed = lineTableRecord(&c->lines, rec, nowNs);
    captureWent(c, captureRecord(&c->capture, rec, missed, via, streamSeq, nowNs));
#if CV_HAVE_NATS
    if (c->pub)
        publisherRecord(c->pub, rec, raw, nowNs);
#endif
    dumpWrite(&c->dump, raw, rec.recordLen);
    if (o.print)
        printRecord(stdout, rec, o.hex, o.utc);
    if (o.countLimit && c->lines.totals.records >= o.countLimit)
        c->stop = 1;
}

void takeInvalid(Collector *c, const char *from, RecordCheck why, const uint8_t *p, size_t len,
                 int version)
{
    lineTableInvalid(&c->lines, why, p, len, version);
    dumpWrite(&c->dumpInvalid, p, len);
    if (c->opt.print)
        printInvalid(stdout, from, why, p, len);
    else if (c->opt.verbose)
        printInvalid(stderr, from, why, p, len);
}

void takeDatagram(Collector *c, const uint8_t *p, size_t len, const struct sockaddr_storage *from,
                  uint64_t nowNs)
{
    const Options &o = c->opt;
    CvRecord rec;
    RecordCheck check = kRecSizeMismatch;
    if (len <= kUdpSlot)
        check = decodeDatagram(p, len, o.udpVersion, o.maxFrame, &rec);
    if (check == kRecOk) {
        takeRecord(c, rec, p, kViaUdp, 0, nowNs);
        return;
    }
    char name[80] = "udp";
    if (o.print || o.verbose) {
        memcpy(name, "udp ", 4);
        formatAddr(from, name + 4, sizeof name - 4);
    }
    takeInvalid(c, name, check, p, len < kUdpSlot ? len : kUdpSlot, o.udpVersion);
}

static void reportLostSync(Collector *c, Conn *conn, RecordCheck why)
{
    c->lines.totals.syncLosses++;
    fprintf(stderr, "cvfcollect: tcp %s: lost sync at stream offset %llu (%s); connection dropped\n",
            conn->peer, (unsigned long long)conn->stream.taken, kRecordCheckName[why]);
    char name[80];
    snprintf(name, sizeof name, "tcp %s", conn->peer);
    takeInvalid(c, name, why, streamPendingBytes(&conn->stream), streamPending(&conn->stream),
                conn->stream.version);
}

int takeStream(Collector *c, Conn *conn, uint64_t nowNs)
{
    const Options &o = c->opt;
    CvRecord rec;
    RecordCheck why = kRecOk;
    for (;;) {
        const uint8_t *raw = streamPendingBytes(&conn->stream);
        StreamStep step = streamNext(&conn->stream, &rec, &why);
        if (step == kStreamNeedMore)
            return 1;
        if (step == kStreamLostSync) {
            reportLostSync(c, conn, why);
            return 0;
        }
        takeRecord(c, rec, raw, kViaTcp, 0, nowNs);
        conn->records++;
        if (o.tcpCloseAfter && conn->records >= o.tcpCloseAfter) {
            if (o.verbose)
                fprintf(stderr, "cvfcollect: tcp %s: closing after %llu records\n", conn->peer,
                        (unsigned long long)conn->records);
            return 0;
        }
        if (c->stop)
            return 1;
    }
}

static void onSignal(int sig)
{
    int kind = sig == SIGUSR1 ? kSigReport : sig == SIGHUP ? kSigReopen : kSigStop;
    s_signalCounts[kind] = s_signalCounts[kind] + 1;
}

int stopAsked(const Collector &)
{
    return s_signalCounts[kSigStop] != 0;
}

void installSignals(Collector *c)
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
    sigprocmask(SIG_BLOCK, &block, &c->wait.mask);
    for (int s : kHandled)
        sigdelset(&c->wait.mask, s);
    c->wait.stops = &s_signalCounts[kSigStop];
}

void printSummaryNow(const Collector &c)
{
    FILE *out = captureToStdout(c.opt) ? stderr : stdout;
    printSummary(out, c.lines, c.opt.utc);
    fflush(out);
}

// Drains the UDP socket, a bounded number of batches at a time so that TCP
// connections get their turn.
static void serviceUdp(Collector *c)
{
    UdpBatch *b = c->udp;
    for (int batch = 0; batch < 16 && !c->stop; batch++) {
        int n = udpReceive(c->net.udp, b);
        uint64_t now = monoNs();
        for (int i = 0; i < n && !c->stop; i++)
            takeDatagram(c, b->buf[i], b->len[i], &b->from[i], now);
        if (n < kUdpBatch)
            return;
    }
}

static void connClosed(Collector *c, Conn *conn)
{
    size_t left = streamPending(&conn->stream);
    if (left) {
        fprintf(stderr, "cvfcollect: tcp %s: connection ended inside a record (%zu bytes)\n",
                conn->peer, left);
        char name[80];
        snprintf(name, sizeof name, "tcp %s", conn->peer);
        takeInvalid(c, name, kRecTruncated, streamPendingBytes(&conn->stream), left,
                    conn->stream.version);
    }
    if (c->opt.verbose)
        fprintf(stderr, "cvfcollect: tcp %s: closed after %llu records\n", conn->peer,
                (unsigned long long)conn->records);
    closeConn(conn);
}

enum ReadResult { kReadData, kReadNone, kReadGone };

// Reads once from a connection and takes the whole records it completes.
static ReadResult readConn(Collector *c, Conn *conn)
{
    size_t before = streamPending(&conn->stream);
    uint64_t records = conn->records;
    size_t room;
    uint8_t *tail = streamTail(&conn->stream, &room);
    ssize_t n = read(conn->fd, tail, room);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return kReadNone;
    if (n <= 0) {
        if (n < 0 && c->opt.verbose)
            fprintf(stderr, "cvfcollect: tcp %s: %s\n", conn->peer, strerror(errno));
        connClosed(c, conn);
        return kReadGone;
    }
    streamCommit(&conn->stream, (size_t)n);
    uint64_t now = monoNs();
    if (!takeStream(c, conn, now)) {
        closeConn(conn);
        return kReadGone;
    }
    connNoteRead(conn, before, records, now);
    return kReadData;
}

// Takes what a connection has waiting before it is closed; 0 when it
// ended meanwhile.
static int drainConn(Collector *c, Conn *conn)
{
    for (int i = 0; i < 16; i++) {
        ReadResult r = readConn(c, conn);
        if (r != kReadData)
            return r == kReadNone;
    }
    return 1;
}

// Closes connection conn to make room for peer.
static void evictConn(Collector *c, Conn *conn, const char *peer, uint64_t nowNs)
{
    double idle = (double)(nowNs - conn->lastNs) / 1e9;
    if (!drainConn(c, conn))
        return;
    c->lines.totals.tcpEvicted++;
    evictionNoted(&c->conns.evicted, nowNs);
    if (c->opt.verbose)
        fprintf(stderr, "cvfcollect: tcp %s: %llu records, idle for %.1f s, closed to make room "
                        "for %s\n", conn->peer, (unsigned long long)conn->records, idle, peer);
    connClosed(c, conn);
}

// Gives an accepted connection a slot, when every slot is taken the one
// of the connection that gives way (see evictionVictim).
static void takeConn(Collector *c, int fd, const char *peer)
{
    uint64_t now = monoNs();
    Conn *conn = freeSlot(&c->conns);
    if (!conn) {
        conn = evictionVictim(&c->conns, now);
        if (conn)
            evictConn(c, conn, peer, now);
    }
    if (!conn || !connStart(conn, fd, peer, c->opt.tcpVersion, c->opt.maxFrame, now)) {
        fprintf(stderr, "cvfcollect: tcp %s: refused, no memory for its buffer\n", peer);
        close(fd);
        return;
    }
    c->lines.totals.tcpConnections++;
    if (c->opt.verbose)
        fprintf(stderr, "cvfcollect: tcp %s: connected\n", conn->peer);
}

// Accepts until the queue is empty, in turns of a bounded size so that
// the other sockets are served between them.
static void serviceAccept(Collector *c)
{
    for (int i = 0; i < 256; i++) {
        char peer[64];
        int fd = acceptOne(c->net.tcp, peer, sizeof peer);
        if (fd < 0)
            return;
        takeConn(c, fd, peer);
    }
}

// Closes the connections that have sat inside a record for longer than
// the stall time-out; returns when the next one is due (UINT64_MAX for
// none).
static uint64_t closeStalled(Collector *c, uint64_t nowNs)
{
    ConnTable *t = &c->conns;
    uint64_t stallNs = (uint64_t)(c->opt.tcpStallTimeout * 1e9);
    uint64_t next = UINT64_MAX;
    for (unsigned i = 0; i < t->size; i++) {
        Conn *conn = &t->slots[i];
        uint64_t due = stallDue(*conn, stallNs);
        if (due <= nowNs) {
            if (!drainConn(c, conn))
                continue;  // it ended meanwhile
            due = stallDue(*conn, stallNs);  // what was waiting may have completed the record
        }
        if (due > nowNs) {
            if (due < next)
                next = due;
            continue;
        }
        c->lines.totals.tcpStalled++;
        fprintf(stderr, "cvfcollect: tcp %s: stalled inside a record for %.1f s, closed\n",
                conn->peer, (double)(nowNs - conn->recordNs) / 1e9);
        connClosed(c, conn);
    }
    return next;
}

// Time left until the next time limit or wakeNs, for ppoll; null for none.
static struct timespec *waitLimit(Collector *c, uint64_t startNs, uint64_t nowNs,
                                  uint64_t wakeNs, struct timespec *ts)
{
    const Options &o = c->opt;
    const Totals &tot = c->lines.totals;
    uint64_t due = UINT64_MAX;
    if (o.durationLimit > 0)
        due = startNs + (uint64_t)(o.durationLimit * 1e9);
    if (o.idleLimit > 0 && tot.records) {
        uint64_t idleDue = tot.lastNs + (uint64_t)(o.idleLimit * 1e9);
        if (idleDue < due)
            due = idleDue;
    }
    if (due <= nowNs) {
        c->stop = 1;
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

// Fills the poll set: UDP, TCP listener, the HTTP server, the
// publisher's acknowledgements, then the open connections.
static int pollSet(Collector *c)
{
    ConnTable *t = &c->conns;
    int n = 0;
    for (const Listener *l : {&c->net.udp, &c->net.tcp, &c->net.http})
        if (l->fd >= 0)
            t->fds[n++] = {l->fd, POLLIN, 0};
#if CV_HAVE_NATS
    if (c->pub)
        t->fds[n++] = {publisherFd(c->pub), POLLIN, 0};
#endif
    for (unsigned i = 0; i < t->size; i++) {
        Conn *conn = &t->slots[i];
        if (conn->fd < 0)
            continue;
        t->polled[n] = conn;
        t->fds[n++] = {conn->fd, POLLIN, 0};
    }
    return n;
}

// Acts on SIGUSR1 and SIGHUP received since the counts seen so far.
static void serveSignals(Collector *c, uint64_t nowNs)
{
    sig_atomic_t reports = s_signalCounts[kSigReport], reopens = s_signalCounts[kSigReopen];
    if (c->seen.reports != reports) {
        c->seen.reports = reports;
        printSummaryNow(*c);
    }
    if (c->seen.reopens != reopens) {
        c->seen.reopens = reopens;
        captureWent(c, captureReopen(&c->capture, nowNs, c->opt.verbose));
    }
}

// When the HTTP server is due at the latest (UINT64_MAX: none, or only
// when its descriptor is ready).
static uint64_t httpDue(Collector *c, uint64_t nowNs)
{
#if CV_HAVE_HTTP
    if (c->http)
        return httpWakeNs(c->http, nowNs);
#endif
    (void)c;
    (void)nowNs;
    return UINT64_MAX;
}

// Serves the HTTP side when its descriptor was ready or a time limit of
// its connections is due.
static void serveHttp(Collector *c, int ready)
{
#if CV_HAVE_HTTP
    if (!c->http)
        return;
    uint64_t now = monoNs();
    if (ready || httpWakeNs(c->http, now) <= now)
        httpRun(c->http, now);
#endif
    (void)c;
    (void)ready;
}

static uint64_t earlier(uint64_t a, uint64_t b)
{
    return a < b ? a : b;
}

// Acknowledgements, retries and waiting records of the publisher; when it
// is due again.
static uint64_t servePublisher(Collector *c, uint64_t nowNs)
{
#if CV_HAVE_NATS
    if (c->pub)
        return publisherTick(c->pub, nowNs);
#endif
    (void)c;
    (void)nowNs;
    return UINT64_MAX;
}

#if CV_HAVE_NATS
// One record read from the stream, through the same checks as a datagram.
static int takeFromStream(void *ctx, const StreamRecord &r)
{
    Collector *c = (Collector *)ctx;
    CvRecord rec;
    RecordCheck check = decodeDatagram(r.data, r.len, r.version, c->opt.maxFrame, &rec);
    if (check == kRecOk)
        takeRecord(c, rec, r.data, kViaStream, r.key, monoNs());
    else
        takeInvalid(c, "stream", check, r.data, r.len, r.version);
    return !c->stop;  // a stop signal waits for the fetch: it is written and acknowledged whole
}

// Reads a batch of the stream, waiting up to limit, writes it out and
// only then acknowledges it.
static void serveStream(Collector *c, const struct timespec *limit)
{
    constexpr int kMaxWaitMs = 100;  // the signals and the HTTP side are served between fetches
    int waitMs = kMaxWaitMs;
    if (limit && limit->tv_sec == 0 && limit->tv_nsec / 1000000 < waitMs)
        waitMs = (int)(limit->tv_nsec / 1000000) + 1;
    if (natsSourceFetch(c->src, waitMs, takeFromStream, c) > 0)
        captureWent(c, captureFlush(&c->capture));
    c->lines.totals.nats.redelivered = natsSourceAgain(c->src);
    if (!c->capture.w.failed)
        natsSourceAck(c->src);
}
#endif

void runCollector(Collector *c)
{
    ConnTable *t = &c->conns;
    uint64_t start = monoNs();
    c->seen = {s_signalCounts[kSigReport], s_signalCounts[kSigReopen]};
    while (!stopAsked(*c) && !c->stop) {
        // the capture is written out whenever the sockets are drained
        captureWent(c, captureFlush(&c->capture));
        uint64_t now = monoNs();
        serveSignals(c, now);
        if (evictionReportDue(t->evicted) <= now)
            evictionReport(&t->evicted, now, stderr);
        if (alarmsDue(c->alarms, c->opt) <= now)
            alarmsTick(&c->alarms, &c->lines, c->opt, now, stderr);
        uint64_t wake = closeStalled(c, now);
        wake = earlier(wake, alarmsDue(c->alarms, c->opt));
        wake = earlier(wake, evictionReportDue(t->evicted));
        wake = earlier(wake, httpDue(c, now));
        wake = earlier(wake, servePublisher(c, now));
        struct timespec ts;
        struct timespec *limit = waitLimit(c, start, now, wake, &ts);
        if (c->stop)
            break;
        fflush(stdout);  // record lines reach their reader before the loop waits
        int n = pollSet(c);
        struct timespec noWait = {0, 0};
        int r = ppoll(t->fds, (nfds_t)n, c->src ? &noWait : limit, &c->wait.mask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "cvfcollect: poll failed: %s\n", strerror(errno));
            break;
        }
        int httpReady = 0;
        for (int i = 0; i < n && !c->stop; i++) {
            const struct pollfd &p = t->fds[i];
            if (!p.revents)
                continue;
            if (p.fd == c->net.udp.fd)
                serviceUdp(c);
            else if (p.fd == c->net.tcp.fd)
                serviceAccept(c);
            else if (p.fd == c->net.http.fd)
                httpReady = 1;  // served once the records are taken
            else if (!t->polled[i])
                continue;  // the publisher's acknowledgements: taken at the top of the loop
            else if (t->polled[i]->fd == p.fd)  // not closed to make room meanwhile
                readConn(c, t->polled[i]);
        }
        serveHttp(c, httpReady);
#if CV_HAVE_NATS
        if (c->src && !stopAsked(*c) && !c->stop)
            serveStream(c, limit);
#endif
    }
    evictionReport(&t->evicted, monoNs(), stderr);
}
