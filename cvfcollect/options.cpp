// Command line.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net.h"
#include "record.h"
#include "pcapng.h"

int g_port = -1;
int g_bListenUdp;
int g_bListenTcp;
const char *g_bindAddr;
int g_udpVersion;
int g_tcpVersion = 1;
uint64_t g_countLimit;
double g_durationLimit;
double g_idleLimit;
int g_bPrint;
int g_bHex;
int g_bUtc;
int g_verbose;
const char *g_capturePath;
uint16_t g_linkType = kDefaultLinkType;
uint64_t g_rotateBytes;
uint64_t g_rotateSecs;
unsigned g_keepFiles;
int g_bExitOnWriteError;
const char *g_dumpPath;
const char *g_dumpInvalidPath;
const char *g_jsonPath;
const char *g_readyPath;
int g_rcvBufSize = 8 << 20;
uint64_t g_tcpCloseAfter;
unsigned g_maxFrame = kDefaultMaxFrame;
unsigned g_maxConns = kDefaultMaxConns;
double g_tcpStallTimeout = kDefaultStallTimeout;

static const char kUsage[] =
    "usage: cvfcollect -p port [-hPtuUvx] [-b address] [-c count] [-d seconds]\n"
    "                  [-i seconds] [-j file] [-r file]\n"
    "                  [-w file|- [-y linktype] [-C megabytes] [-G seconds] [-W count]\n"
    "                   [--exit-on-write-error]]\n"
    "                  [--dump file] [--dump-invalid file]\n"
    "                  [--max-conns count] [--max-frame bytes] [--rcvbuf bytes]\n"
    "                  [--tcp-close-after count] [--tcp-stall-timeout seconds]\n"
    "                  [--v0 | --v1]\n"
    "       linktype: mtp2 (default), lapd, frelay, chdlc, ppp-hdlc, or a number 0-65535\n"
    "       signals: SIGUSR1 prints the summary so far, SIGHUP starts a new capture file,\n"
    "                SIGINT and SIGTERM end the run with the summary\n";

void printUsage(void)
{
    fputs(kUsage, stderr);
}

static void resetOptions(void)
{
    g_port = -1;
    g_bListenUdp = g_bListenTcp = 0;
    g_bindAddr = nullptr;
    g_udpVersion = 0;
    g_tcpVersion = 1;
    g_countLimit = 0;
    g_durationLimit = g_idleLimit = 0;
    g_bPrint = g_bHex = g_bUtc = g_verbose = 0;
    g_capturePath = nullptr;
    g_linkType = kDefaultLinkType;
    g_rotateBytes = g_rotateSecs = 0;
    g_keepFiles = 0;
    g_bExitOnWriteError = 0;
    g_dumpPath = g_dumpInvalidPath = g_jsonPath = g_readyPath = nullptr;
    g_rcvBufSize = 8 << 20;
    g_tcpCloseAfter = 0;
    g_maxFrame = kDefaultMaxFrame;
    g_maxConns = kDefaultMaxConns;
    g_tcpStallTimeout = kDefaultStallTimeout;
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
    kOptExitOnWriteError, kOptMaxConns, kOptTcpStallTimeout
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

// Applies one option; returns kOptRun to go on.
static OptResult applyOption(int c, const char *arg)
{
    uint64_t n;
    switch (c) {
    case 'p':
        if (!parseCount(arg, 65535, &n))
            return usageError("invalid port", arg);
        g_port = (int)n;
        return kOptRun;
    case 'u': g_bListenUdp = 1; return kOptRun;
    case 't': g_bListenTcp = 1; return kOptRun;
    case 'b': g_bindAddr = arg; return kOptRun;
    case 'c':
        if (!parseCount(arg, UINT64_MAX, &g_countLimit))
            return usageError("invalid count", arg);
        return kOptRun;
    case 'd':
        if (!parseSeconds(arg, &g_durationLimit))
            return usageError("invalid duration", arg);
        return kOptRun;
    case 'i':
        if (!parseSeconds(arg, &g_idleLimit))
            return usageError("invalid idle time", arg);
        return kOptRun;
    case 'P': g_bPrint = 1; return kOptRun;
    case 'x': g_bHex = g_bPrint = 1; return kOptRun;
    case 'U': g_bUtc = 1; return kOptRun;
    case 'v': g_verbose = 1; return kOptRun;
    case 'w': g_capturePath = arg; return kOptRun;
    case 'y':
        if (!parseLinkType(arg, &g_linkType))
            return linkTypeError(arg);
        return kOptRun;
    case 'C':
        if (!parseMegabytes(arg, &g_rotateBytes))
            return usageError("invalid file size (megabytes)", arg);
        return kOptRun;
    case 'G':
        if (!parseCount(arg, 1000000000, &g_rotateSecs) || g_rotateSecs == 0)
            return usageError("invalid rotation time (whole seconds)", arg);
        return kOptRun;
    case 'W':
        if (!parseCount(arg, 1000000, &n) || n == 0)
            return usageError("invalid file count", arg);
        g_keepFiles = (unsigned)n;
        return kOptRun;
    case kOptExitOnWriteError: g_bExitOnWriteError = 1; return kOptRun;
    case kOptDump: g_dumpPath = arg; return kOptRun;
    case 'j': g_jsonPath = arg; return kOptRun;
    case 'r': g_readyPath = arg; return kOptRun;
    case kOptV0: g_udpVersion = g_tcpVersion = 0; return kOptRun;
    case kOptV1: g_udpVersion = g_tcpVersion = 1; return kOptRun;
    case kOptDumpInvalid: g_dumpInvalidPath = arg; return kOptRun;
    case kOptRcvbuf:
        if (!parseCount(arg, INT32_MAX / 2, &n) || n == 0)
            return usageError("invalid receive buffer size", arg);
        g_rcvBufSize = (int)n;
        return kOptRun;
    case kOptTcpCloseAfter:
        if (!parseCount(arg, UINT64_MAX, &g_tcpCloseAfter))
            return usageError("invalid record count", arg);
        return kOptRun;
    case kOptMaxFrame:
        if (!parseCount(arg, 0xffff, &n))
            return usageError("invalid frame length", arg);
        g_maxFrame = (unsigned)n;
        return kOptRun;
    case kOptMaxConns:
        if (!parseCount(arg, kMaxConnsLimit, &n) || n == 0)
            return usageError("invalid connection count", arg);
        g_maxConns = (unsigned)n;
        return kOptRun;
    case kOptTcpStallTimeout:
        if (!parseSeconds(arg, &g_tcpStallTimeout))
            return usageError("invalid stall time-out", arg);
        return kOptRun;
    case 'h':
        printUsage();
        return kOptHelp;
    default:
        printUsage();
        return kOptUsage;
    }
}

// The capture options that only make sense together.
static OptResult checkCapture(void)
{
    int rotating = g_rotateBytes || g_rotateSecs;
    if (!g_capturePath && (rotating || g_keepFiles))
        return refuse("-C, -G and -W need a capture file (-w)");
    if (g_keepFiles && !rotating)
        return refuse("-W needs -C or -G");
    if (!g_capturePath || strcmp(g_capturePath, "-") != 0)
        return kOptRun;
    if (rotating)
        return refuse("-C and -G need a file: standard output cannot rotate");
    if (g_bPrint)
        return refuse("-P and -x print on standard output, which -w - takes for the capture");
    return kOptRun;
}

OptResult parseOptions(int argc, char **argv)
{
    resetOptions();
    optind = 0;  // a full rescan, also after an earlier parse
    int c;
    while ((c = getopt_long(argc, argv, "+p:utb:c:d:i:PxUvw:y:C:G:W:j:r:h", kLongOptions, nullptr)) != -1) {
        OptResult r = applyOption(c, optarg);
        if (r != kOptRun)
            return r;
    }
    if (optind < argc)
        return usageError("unexpected argument", argv[optind]);
    if (g_port < 0) {
        fprintf(stderr, "cvfcollect: no port given (-p)\n");
        printUsage();
        return kOptUsage;
    }
    if (!g_bListenUdp && !g_bListenTcp)
        g_bListenUdp = g_bListenTcp = 1;
    return checkCapture();
}
