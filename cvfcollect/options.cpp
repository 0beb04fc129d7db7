// Command line.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "record.h"
#include "pcapng.h"

static const char kUsage[] =
    "usage: cvfcollect -p port [-hPtuUvx] [-b address] [-c count] [-d seconds]\n"
    "                  [--join group [--join-if interface]]\n"
    "                  [-i seconds] [-j file] [-r file]\n"
    "                  [-w file|- [-y linktype] [-C megabytes] [-G seconds] [-W count]\n"
    "                   [--exit-on-write-error]]\n"
    "                  [--dump file] [--dump-invalid file]\n"
    "                  [--max-conns count] [--max-frame bytes] [--rcvbuf bytes]\n"
    "                  [--tcp-close-after count] [--tcp-stall-timeout seconds]\n"
    "                  [--http [address:]port] [--silent seconds]\n"
    "                  [--loss-alarm count] [--loss-window seconds]\n"
    "                  [--v0 | --v1]\n"
    "                  [--nats url[,url...] [--stream name] [--replicas count]\n"
    "                   [--storage file|memory] [--max-age seconds] [--max-bytes bytes]\n"
    "                   [--nats-max-pending count] [--nats-backlog count]]\n"
    "       cvfcollect --from-nats url[,url...] [--stream name] [--subject filter]\n"
    "                  [--durable name] [options above but -p, -b, -t, -u, --join, --nats]\n"
    "%s"
    "       signals: SIGUSR1 prints the summary so far, SIGHUP starts a new capture file,\n"
    "                SIGINT and SIGTERM end the run with the summary\n"
    "       http: GET /metrics (Prometheus), / (the live page), /api/lines (its data)\n"
    "       alarms on stderr: a line silent, its records back, frames lost over the limit\n"
    "       nats: subjects cvfmon.<gw>.<line>, default stream CVFMON\n";

// "       linktype: mtp2 (default), lapd, ..., or a number 0-65535\n", from
// the link-type table.
static void linkTypeUsage(char *out, size_t size)
{
    size_t at = 0;
    auto add = [&](const char *text) {
        int k = snprintf(out + at, size - at, "%s", text);
        if (k > 0)
            at += (size_t)k < size - at ? (size_t)k : size - at - 1;
    };
    add("       linktype: ");
    for (const LinkTypeName &n : kLinkTypeNames) {
        add(n.name);
        add(n.type == kDefaultLinkType ? " (default), " : ", ");
    }
    add("or a number 0-65535\n");
}

void printUsage(void)
{
    char linkTypes[256];
    linkTypeUsage(linkTypes, sizeof linkTypes);
    fprintf(stderr, kUsage, linkTypes);
}

// A whole decimal number in 0..max.
static int parseCount(const char *s, uint64_t max, uint64_t *out)
{
    if (*s < '0' || *s > '9')
        return 0;
    errno = 0;
    char *end;
    unsigned long long v = strtoull(s, &end, 10);
    if (errno || *end || v > max)
        return 0;
    *out = v;
    return 1;
}

// Seconds, possibly with a fraction, above 0.
static int parseSeconds(const char *s, double *out)
{
    if ((*s < '0' || *s > '9') && *s != '.')
        return 0;
    char *end;
    double v = strtod(s, &end);
    if (*end || !std::isfinite(v) || v <= 0 || v > 1e9)
        return 0;
    *out = v;
    return 1;
}

// Megabytes of 1,000,000 bytes, possibly with a fraction, as bytes (at least 1).
static int parseMegabytes(const char *s, uint64_t *out)
{
    double mb;
    if (!parseSeconds(s, &mb) || mb * 1e6 < 1)
        return 0;
    *out = (uint64_t)(mb * 1e6 + 0.5);
    return 1;
}

enum LongOnly {
    kOptV0 = 256, kOptV1, kOptDump, kOptDumpInvalid, kOptRcvbuf, kOptTcpCloseAfter, kOptMaxFrame,
    kOptExitOnWriteError, kOptMaxConns, kOptTcpStallTimeout, kOptHttp, kOptSilent, kOptLossAlarm,
    kOptLossWindow, kOptNats, kOptStream, kOptReplicas, kOptStorage, kOptMaxAge, kOptMaxBytes,
    kOptNatsMaxPending, kOptNatsBacklog, kOptFromNats, kOptSubject, kOptDurable, kOptJoin,
    kOptJoinIf
};

static const struct option kLongOptions[] = {
    {"port", required_argument, nullptr, 'p'},
    {"udp", no_argument, nullptr, 'u'},
    {"tcp", no_argument, nullptr, 't'},
    {"bind", required_argument, nullptr, 'b'},
    {"count", required_argument, nullptr, 'c'},
    {"duration", required_argument, nullptr, 'd'},
    {"idle", required_argument, nullptr, 'i'},
    {"print", no_argument, nullptr, 'P'},
    {"hex", no_argument, nullptr, 'x'},
    {"utc", no_argument, nullptr, 'U'},
    {"verbose", no_argument, nullptr, 'v'},
    {"write", required_argument, nullptr, 'w'},
    {"linktype", required_argument, nullptr, 'y'},
    {"file-size", required_argument, nullptr, 'C'},
    {"rotate-seconds", required_argument, nullptr, 'G'},
    {"file-count", required_argument, nullptr, 'W'},
    {"exit-on-write-error", no_argument, nullptr, kOptExitOnWriteError},
    {"dump", required_argument, nullptr, kOptDump},
    {"json", required_argument, nullptr, 'j'},
    {"ready", required_argument, nullptr, 'r'},
    {"help", no_argument, nullptr, 'h'},
    {"v0", no_argument, nullptr, kOptV0},
    {"v1", no_argument, nullptr, kOptV1},
    {"dump-invalid", required_argument, nullptr, kOptDumpInvalid},
    {"rcvbuf", required_argument, nullptr, kOptRcvbuf},
    {"tcp-close-after", required_argument, nullptr, kOptTcpCloseAfter},
    {"max-frame", required_argument, nullptr, kOptMaxFrame},
    {"max-conns", required_argument, nullptr, kOptMaxConns},
    {"tcp-stall-timeout", required_argument, nullptr, kOptTcpStallTimeout},
    {"http", required_argument, nullptr, kOptHttp},
    {"silent", required_argument, nullptr, kOptSilent},
    {"loss-alarm", required_argument, nullptr, kOptLossAlarm},
    {"loss-window", required_argument, nullptr, kOptLossWindow},
    {"nats", required_argument, nullptr, kOptNats},
    {"stream", required_argument, nullptr, kOptStream},
    {"replicas", required_argument, nullptr, kOptReplicas},
    {"storage", required_argument, nullptr, kOptStorage},
    {"max-age", required_argument, nullptr, kOptMaxAge},
    {"max-bytes", required_argument, nullptr, kOptMaxBytes},
    {"nats-max-pending", required_argument, nullptr, kOptNatsMaxPending},
    {"nats-backlog", required_argument, nullptr, kOptNatsBacklog},
    {"from-nats", required_argument, nullptr, kOptFromNats},
    {"subject", required_argument, nullptr, kOptSubject},
    {"durable", required_argument, nullptr, kOptDurable},
    {"join", required_argument, nullptr, kOptJoin},
    {"join-if", required_argument, nullptr, kOptJoinIf},
    {nullptr, 0, nullptr, 0},
};

// Refuses the command line: the reason, then the usage.
__attribute__((format(printf, 1, 2))) static OptResult refuse(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("cvfcollect: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    printUsage();
    return kOptUsage;
}

static OptResult usageError(const char *what, const char *arg)
{
    return refuse("%s: %s", what, arg);
}

static OptResult linkTypeError(const char *arg)
{
    char names[128];
    linkTypeNames(names, sizeof names);
    return refuse("unknown link type: %s (use %s, or a number 0 to 65535)", arg, names);
}

static OptResult applyNatsOption(int c, const char *arg, Options *o);

// Applies one option; returns kOptRun to go on.
static OptResult applyOption(int c, const char *arg, Options *o)
{
    uint64_t n;
    switch (c) {
    case 'p':
        if (!parseCount(arg, 65535, &n))
            return usageError("invalid port", arg);
        o->port = (int)n;
        return kOptRun;
    case 'u': o->listenUdp = true; return kOptRun;
    case 't': o->listenTcp = true; return kOptRun;
    case 'b': o->bindAddr = arg; return kOptRun;
    case 'c':
        if (!parseCount(arg, UINT64_MAX, &o->countLimit))
            return usageError("invalid count", arg);
        return kOptRun;
    case 'd':
        if (!parseSeconds(arg, &o->durationLimit))
            return usageError("invalid duration", arg);
        return kOptRun;
    case 'i':
        if (!parseSeconds(arg, &o->idleLimit))
            return usageError("invalid idle time", arg);
        return kOptRun;
    case 'P': o->print = true; return kOptRun;
    case 'x': o->hex = o->print = true; return kOptRun;
    case 'U': o->utc = true; return kOptRun;
    case 'v': o->verbose = true; return kOptRun;
    case 'w': o->capturePath = arg; return kOptRun;
    case 'y':
        if (!parseLinkType(arg, &o->linkType))
            return linkTypeError(arg);
        return kOptRun;
    case 'C':
        if (!parseMegabytes(arg, &o->rotateBytes))
            return usageError("invalid file size (megabytes)", arg);
        return kOptRun;
    case 'G':
        if (!parseCount(arg, 1000000000, &o->rotateSecs) || o->rotateSecs == 0)
            return usageError("invalid rotation time (whole seconds)", arg);
        return kOptRun;
    case 'W':
        if (!parseCount(arg, 1000000, &n) || n == 0)
            return usageError("invalid file count", arg);
        o->keepFiles = (unsigned)n;
        return kOptRun;
    case kOptExitOnWriteError: o->exitOnWriteError = true; return kOptRun;
    case kOptDump: o->dumpPath = arg; return kOptRun;
    case 'j': o->jsonPath = arg; return kOptRun;
    case 'r': o->readyPath = arg; return kOptRun;
    case kOptV0: o->udpVersion = o->tcpVersion = 0; return kOptRun;
    case kOptV1: o->udpVersion = o->tcpVersion = true; return kOptRun;
    case kOptDumpInvalid: o->dumpInvalidPath = arg; return kOptRun;
    case kOptRcvbuf:
        if (!parseCount(arg, INT32_MAX / 2, &n) || n == 0)
            return usageError("invalid receive buffer size", arg);
        o->rcvBufSize = (int)n;
        return kOptRun;
    case kOptTcpCloseAfter:
        if (!parseCount(arg, UINT64_MAX, &o->tcpCloseAfter))
            return usageError("invalid record count", arg);
        return kOptRun;
    case kOptMaxFrame:
        if (!parseCount(arg, 0xffff, &n))
            return usageError("invalid frame length", arg);
        o->maxFrame = (unsigned)n;
        return kOptRun;
    case kOptMaxConns:
        if (!parseCount(arg, kMaxConnsLimit, &n) || n == 0)
            return usageError("invalid connection count", arg);
        o->maxConns = (unsigned)n;
        return kOptRun;
    case kOptTcpStallTimeout:
        if (!parseSeconds(arg, &o->tcpStallTimeout))
            return usageError("invalid stall time-out", arg);
        return kOptRun;
    case kOptHttp:
        if (!kHaveHttp) {
            fprintf(stderr, "cvfcollect: --http: this build has no HTTP support\n");
            return kOptUsage;
        }
        o->httpAddr = arg;
        return kOptRun;
    case kOptSilent:
        if (!parseCount(arg, 1000000, &n))
            return usageError("invalid silence time (whole seconds, 0 for none)", arg);
        o->silentSecs = (unsigned)n;
        return kOptRun;
    case kOptLossAlarm:
        if (!parseCount(arg, UINT32_MAX, &n))
            return usageError("invalid lost frame count (0 for none)", arg);
        o->lossAlarm = (unsigned)n;
        return kOptRun;
    case kOptLossWindow:
        if (!parseCount(arg, kMaxLossWindow, &n) || n == 0)
            return usageError("invalid loss window (whole seconds, 1 to 300)", arg);
        o->lossWindow = (unsigned)n;
        return kOptRun;
    case 'h':
        printUsage();
        return kOptHelp;
    default:
        return applyNatsOption(c, arg, o);
    }
}

// The options of publishing and reading a stream, and of the multicast
// group.
static OptResult applyNatsOption(int c, const char *arg, Options *o)
{
    uint64_t n;
    switch (c) {
    case kOptNats: o->natsUrls = arg; return kOptRun;
    case kOptFromNats: o->fromNats = arg; return kOptRun;
    case kOptStream:
        if (!*arg || strpbrk(arg, ". *>/\\"))
            return usageError("invalid stream name", arg);
        o->stream = arg;
        return kOptRun;
    case kOptReplicas:
        if (!parseCount(arg, kMaxReplicas, &n) || n == 0)
            return usageError("invalid replica count (1 to 5)", arg);
        o->replicas = (unsigned)n;
        return kOptRun;
    case kOptStorage:
        if (strcmp(arg, "file") != 0 && strcmp(arg, "memory") != 0)
            return usageError("invalid storage (file or memory)", arg);
        o->memoryStorage = strcmp(arg, "memory") == 0;
        return kOptRun;
    case kOptMaxAge:
        if (!parseCount(arg, 1000000000, &o->maxAgeSecs))
            return usageError("invalid age (whole seconds, 0 for none)", arg);
        return kOptRun;
    case kOptMaxBytes:
        if (!parseCount(arg, INT64_MAX, &o->maxBytes))
            return usageError("invalid byte count (0 for none)", arg);
        return kOptRun;
    case kOptNatsMaxPending:
        if (!parseCount(arg, 1000000, &n) || n == 0)
            return usageError("invalid pending count", arg);
        o->natsMaxPending = (unsigned)n;
        return kOptRun;
    case kOptNatsBacklog:
        if (!parseCount(arg, 100000000, &n) || n == 0)
            return usageError("invalid backlog (records)", arg);
        o->natsBacklog = (unsigned)n;
        return kOptRun;
    case kOptSubject:
        if (!*arg || strchr(arg, ' '))
            return usageError("invalid subject filter", arg);
        o->subject = arg;
        return kOptRun;
    case kOptDurable:
        if (!*arg || strpbrk(arg, ". *>/\\"))
            return usageError("invalid durable name", arg);
        o->durable = arg;
        return kOptRun;
    case kOptJoin: o->joinGroup = arg; return kOptRun;
    case kOptJoinIf: o->joinIf = arg; return kOptRun;
    default:
        printUsage();
        return kOptUsage;
    }
}

// The capture options that only make sense together.
static OptResult checkCapture(const Options &o)
{
    int rotating = o.rotateBytes || o.rotateSecs;
    if (!o.capturePath && (rotating || o.keepFiles))
        return refuse("-C, -G and -W need a capture file (-w)");
    if (o.keepFiles && !rotating)
        return refuse("-W needs -C or -G");
    if (!o.capturePath || strcmp(o.capturePath, "-") != 0)
        return kOptRun;
    if (rotating)
        return refuse("-C and -G need a file: standard output cannot rotate");
    if (o.print)
        return refuse("-P and -x print on standard output, which -w - takes for the capture");
    return kOptRun;
}

// Publishing and reading a stream: what this build has and what goes
// together.
static OptResult checkNats(const Options &o)
{
    if ((o.natsUrls || o.fromNats) && !kHaveNats) {
        fprintf(stderr, "cvfcollect: --%s: this build has no NATS support\n",
                o.natsUrls ? "nats" : "from-nats");
        return kOptUsage;
    }
    if (o.joinIf && !o.joinGroup)
        return refuse("--join-if needs --join");
    if (o.joinGroup && o.listenTcp && !o.listenUdp)
        return refuse("--join is for UDP: not with -t alone");
    if ((o.subject || o.durable) && !o.fromNats)
        return refuse("--subject and --durable need --from-nats");
    if (!o.fromNats)
        return kOptRun;
    if (o.natsUrls)
        return refuse("--from-nats reads the stream that --nats publishes to: give one of them");
    if (o.port >= 0 || o.bindAddr || o.listenTcp || o.listenUdp || o.joinGroup)
        return refuse("--from-nats reads no socket: -p, -b, -t, -u and --join do not apply");
    return kOptRun;
}

OptResult parseOptions(int argc, char **argv, Options *o)
{
    *o = Options{};
    optind = 0;  // a full rescan, also after an earlier parse
    int c;
    while ((c = getopt_long(argc, argv, "+p:utb:c:d:i:PxUvw:y:C:G:W:j:r:h", kLongOptions, nullptr)) != -1) {
        OptResult r = applyOption(c, optarg, o);
        if (r != kOptRun)
            return r;
    }
    if (optind < argc)
        return usageError("unexpected argument", argv[optind]);
    OptResult r = checkNats(*o);
    if (r != kOptRun || o->fromNats)
        return r == kOptRun ? checkCapture(*o) : r;
    if (o->port < 0) {
        fprintf(stderr, "cvfcollect: no port given (-p)\n");
        printUsage();
        return kOptUsage;
    }
    if (!o->listenUdp && !o->listenTcp)
        o->listenUdp = o->listenTcp = true;
    return checkCapture(*o);
}
