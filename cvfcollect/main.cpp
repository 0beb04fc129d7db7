// cvfcollect: receives the records a line monitor forwards over UDP or
// TCP, checks them, keeps statistics per gateway and line and prints a
// summary at the end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "nats_source.h"
#include "publisher.h"
#include "run.h"
#include "serve.h"
#include "summary.h"

constexpr size_t kStdoutBufLen = 1 << 16;

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where they
// were not, so that no file or socket opened later takes their place and
// receives what is meant for the standard streams. 0 when /dev/null cannot
// be opened.
static int openStandardDescriptors(void)
{
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0)
            return 0;
        if (fd > 2) {
            close(fd);
            return 1;
        }
    }
}

// Opens the dump files; 0 when one cannot be created.
static int openDumps(Collector *c)
{
    const Options &o = c->opt;
    if (o.dumpPath && !dumpOpen(&c->dump, o.dumpPath, &c->wait))
        return 0;
    if (o.dumpInvalidPath && !dumpOpen(&c->dumpInvalid, o.dumpInvalidPath, &c->wait))
        return 0;
    return 1;
}

// Starts the HTTP side of --http; 0 when it cannot.
static int openHttp(Collector *c, HttpSide *side)
{
#if CV_HAVE_HTTP
    return !c->opt.httpAddr || serveOpen(side, c);
#else
    (void)side;
    return !c->opt.httpAddr;  // refused with the options already
#endif
}

static void closeHttp(Collector *c, HttpSide *side)
{
#if CV_HAVE_HTTP
    serveClose(side, c);
#else
    (void)c;
    (void)side;
#endif
}

// Connects the publisher of --nats or the stream source of --from-nats;
// 0 when it cannot. The source goes on after the last record that the
// capture files hold, read before the capture starts.
static int openStream(Collector *c)
{
#if CV_HAVE_NATS
    const Options &o = c->opt;
    if (o.natsUrls && !(c->pub = publisherOpen(o, &c->lines.totals.nats)))
        return 0;
    if (o.fromNats) {
        c->lines.totals.nats.reading = 1;
        if (!(c->src = natsSourceOpen(o)))
            return 0;
        fprintf(stderr, "reading stream %s from %s\n", o.stream, o.fromNats);
    }
#else
    (void)c;  // refused with the options already
#endif
    return 1;
}

// Ends publishing (waiting a while for the acknowledgements) or reading.
static void closeStream(Collector *c)
{
#if CV_HAVE_NATS
    constexpr uint64_t kPublishWaitNs = 5000000000u;
    if (c->pub)
        publisherClose(c->pub, kPublishWaitNs);
    if (c->src)
        natsSourceClose(c->src);
    c->pub = nullptr;
    c->src = nullptr;
#else
    (void)c;
#endif
}

// Opens the sockets (or the stream), the capture and the HTTP side, says
// where they listen and writes the ready file; 0 when any of that fails
// (a capture that cannot start only with --exit-on-write-error).
static int startListening(Collector *c, HttpSide *side)
{
    const Options &o = c->opt;
    if (!o.fromNats && !openListeners(o, &c->net))
        return 0;
    if (!openStream(c))
        return 0;
    if (!captureOpen(&c->capture, o, c->net, &c->wait, monoNs()) && o.exitOnWriteError)
        return 0;
    if (!openHttp(c, side))
        return 0;
    printListening(stderr, c->net);
    return !o.readyPath || writeReadyFile(o.readyPath, c->net, &c->wait);
}

// Summary, JSON, capture and dump files; 0 when anything could not be
// written. With the capture on standard output the summary goes to
// standard error.
static int finish(Collector *c)
{
    const Options &o = c->opt;
    closeStream(c);  // the last records are written before the source acknowledges them
    int ok = captureClose(&c->capture);
    ok &= dumpClose(&c->dump);
    ok &= dumpClose(&c->dumpInvalid);
    printSummary(captureToStdout(o) ? stderr : stdout, c->lines, o.utc);
    if (fflush(stdout) != 0)  // before the JSON, which may go to the same file
        ok = 0;
    if (o.jsonPath)
        ok &= writeJsonFile(o.jsonPath, c->lines, &c->wait);
    return ok;
}

// Runs the collector with options o; 0 on success, 1 on a failure.
static int collect(const Options &o)
{
    Collector c;
    HttpSide side;
    tzset();
    // Standard output fully buffered, flushed whenever the receive loop
    // waits; the buffer stays with the stream until the process ends.
    if (char *buf = (char *)malloc(kStdoutBufLen))
        setvbuf(stdout, buf, _IOFBF, kStdoutBufLen);
    if (!collectorOpen(&c, o))
        return 1;
    if (!openDumps(&c)) {
        collectorClose(&c);
        return 1;
    }
    installSignals(&c);
    int ok = startListening(&c, &side);
    if (ok)
        runCollector(&c);
    closeHttp(&c, &side);
    connTableClose(&c.conns);
    if (ok)
        ok = finish(&c);
    else {
        closeStream(&c);
        captureClose(&c.capture);  // the dumps keep what they held
    }
    collectorClose(&c);
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (!openStandardDescriptors())
        return 1;
    Options o;
    OptResult opt = parseOptions(argc, argv, &o);
    if (opt != kOptRun)
        return opt == kOptHelp ? 0 : 1;
    return collect(o);
}
