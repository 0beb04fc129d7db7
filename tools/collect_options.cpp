// Command line.
#include "collect_options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "collect_net.h"
#include "collect_record.h"

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
    "                  [-i seconds] [-j file] [-r file] [-w file] [--dump-invalid file]\n"
    "                  [--max-conns count] [--max-frame bytes] [--rcvbuf bytes]\n"
    "                  [--tcp-close-after count] [--tcp-stall-timeout seconds]\n"
    "                  [--v0 | --v1]\n";

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

enum LongOnly { kOptV0 = 256, kOptV1, kOptDumpInvalid, kOptRcvbuf, kOptTcpCloseAfter, kOptMaxFrame,
                kOptMaxConns, kOptTcpStallTimeout };

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
    {"dump", required_argument, nullptr, 'w'},
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

static OptResult usageError(const char *what, const char *arg)
{
    fprintf(stderr, "cvfcollect: %s: %s\n", what, arg);
    printUsage();
    return kOptUsage;
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
    case 'w': g_dumpPath = arg; return kOptRun;
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

OptResult parseOptions(int argc, char **argv)
{
    resetOptions();
    optind = 0;  // a full rescan, also after an earlier parse
    int c;
    while ((c = getopt_long(argc, argv, "+p:utb:c:d:i:PxUvw:j:r:h", kLongOptions, nullptr)) != -1) {
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
    return kOptRun;
}
