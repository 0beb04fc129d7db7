// The settings, the command line and the fatal-error exit.
#include "settings.h"
#include "monrec.h"
#include "shutdown.h"
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const char *progname = "cvfmonUdp";
char g_device[IFNAMSIZ];
char g_remoteSvr[HOST_NAME_CHARS + 1];
const char *g_szRemotePort;
int g_gwId;
int g_cardCfg;
int g_origLine;
int g_lineNum;
int g_bUseTcp;
int g_bUseHeaderV0 = 1;
int network_needed;
int g_bDisplayData;
unsigned int g_truncationLen;
int g_bGenerateLocalSeq;
int g_bIgnoreIcmp;
int g_bDefaultRcvbuf;
int g_rcvBufSize = 512 * 1024;
unsigned int g_minimumDelay = 40;
int g_reconnectTime = 5;
int g_bFloodSimulation;
unsigned long g_floodCount;
int g_floodSize = 131;
int g_bFloodDelay;

IfInfo g_ifInfo;
struct timeval starttv;
unsigned long floodSends;

int maxFloodSize()
{
    return (int)MONBUF_FRAME_SPACE - 2;
}

int cvAtoi(const char *s)
{
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    bool neg = false;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        if (v <= (long long)INT_MAX + 1)
            v = v * 10 + (*s - '0');
    }
    if (neg)
        v = -v;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return (int)v;
}

void openStandardDescriptors()
{
    // The lowest free descriptor is taken, so each one opened lands on the
    // closed descriptor being mended.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int got = open("/dev/null", O_RDWR);
        if (got != fd)
            error_exit("Can't open /dev/null on closed descriptor %d.\n%s\n", fd,
                       std::strerror(got < 0 ? errno : EBADF));
    }
}

void setProgname(const char *argv0)
{
    if (argv0 == nullptr || *argv0 == '\0')
        return;
    const char *slash = std::strrchr(argv0, '/');
    progname = slash ? slash + 1 : argv0;
}

void error_exit(const char *fmt, ...)
{
    std::fprintf(stderr, "%s: ", progname);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    if (g_inCleanup) {
        // exit() must not be called again from inside the exit handler.
        std::fflush(stdout);
        std::fflush(stderr);
        _Exit(1);
    }
    std::exit(1);
}

void usage()
{
    std::fprintf(stderr, "usage: %s device IPaddress port GwId [-options]\n", progname);
    std::fprintf(stderr, "e.g. %s sync0 192.168.1.94 8888 1\n", progname);
    std::fprintf(stderr, "%s options:\n", progname);
    std::fprintf(stderr, "\t\t-t     Use TCP (instead of UDP)\n");
    std::fprintf(stderr, "\t\t-c     Monitor char interface\n");
    std::fprintf(stderr, "\t\t-d     Display data\n");
    std::fprintf(stderr, "\t\t-l<n>  Truncate data (n>0)\n");
    std::fprintf(stderr, "\t\t-q     Generate Sequence Number\n");
    std::fprintf(stderr, "\t\t-j     Ignore ECONNREFUSED\n");
    std::fprintf(stderr, "\t\t-b     Default RcvBuf\n");
    std::fprintf(stderr, "\t\t-B<z>  Set SO_RCVBUF in kbytes\n");
    std::fprintf(stderr, "\t\t-w<u>  Minimum delay between sends in microseconds, default=%u\n",
                 g_minimumDelay);
    std::fprintf(stderr, "\t\t-r<s>  Delay between TCP connection retry in seconds, default=%u\n",
                 (unsigned)g_reconnectTime);
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "\t\t-f     Flood mode\n");
    std::fprintf(stderr, "\t\t-fn<n> Flood count\n");
    std::fprintf(stderr, "\t\t-fz<n> Flood frame size\n");
    std::fprintf(stderr, "\t\t-fw    Flood delay mode\n");
}

[[noreturn]] static void usageExit()
{
    usage();
    std::exit(1);
}

// An option value that must lie within [lo, hi], or the run is refused.
static int rangedValue(const char *opt, const char *text, int lo, int hi)
{
    int v = cvAtoi(text);
    if (v < lo || v > hi)
        error_exit("value %d of option -%s is out of range (%d to %d)\n", v, opt, lo, hi);
    return v;
}

static void applyFloodOption(const char *arg)
{
    g_bFloodSimulation = 1;
    switch (arg[2]) {
    case 'n': case 'N':
        g_floodCount = (unsigned long)(long)cvAtoi(arg + 3);
        break;
    case 'z': case 'Z':
        g_floodSize = rangedValue("fz", arg + 3, -2, maxFloodSize());
        break;
    case 'w': case 'W':
        g_bFloodDelay = 1;
        break;
    default:
        break;
    }
}

// One option: its second character selects it, its value follows.
static void applyOption(const char *arg)
{
    const char *val = arg[1] ? arg + 2 : arg + 1;
    switch (arg[1]) {
    case '?': case 'h': case 'H':
        usageExit();
    case 't': case 'T':
        g_bUseTcp = 1;
        g_bUseHeaderV0 = 0;
        break;
    case 'c': case 'C':
        network_needed = 1;
        break;
    case 'd': case 'D':
        g_bDisplayData = 1;
        break;
    case 'l': case 'L':
        g_truncationLen = (unsigned)cvAtoi(val);
        std::printf("Frames truncated to %u bytes\n", g_truncationLen);
        break;
    case 'q': case 'Q':
        g_bGenerateLocalSeq = 1;
        break;
    case 'j': case 'J':
        g_bIgnoreIcmp = 1;
        break;
    case 'b':
        g_bDefaultRcvbuf = 1;
        break;
    case 'B':
        g_bDefaultRcvbuf = 0;
        g_rcvBufSize = rangedValue("B", val, 0, MAX_RCVBUF_KBYTES) * 1024;
        break;
    case 'w': case 'W':
        g_minimumDelay = (unsigned)rangedValue("w", val, 0, MAX_DELAY_USECS);
        break;
    case 'r': case 'R':
        g_reconnectTime = cvAtoi(val);
        break;
    case 'v': case 'V':
        if (arg[2] == '0')
            g_bUseHeaderV0 = 1;
        else if (arg[2] == '1')
            g_bUseHeaderV0 = 0;
        break;
    case 'f': case 'F':
        applyFloodOption(arg);
        break;
    default:
        break;
    }
}

// Copies a positional name whole, or refuses it when it does not fit.
static bool takeName(char *dst, std::size_t size, const char *arg)
{
    std::size_t len = std::strlen(arg);
    if (len >= size)
        return false;
    std::memcpy(dst, arg, len + 1);
    return true;
}

static void applyPositional(int pos, char *arg)
{
    switch (pos) {
    case 1:
        if (!takeName(g_device, sizeof g_device, arg))
            error_exit("device name %s is too long (%zu characters, at most %zu)\n",
                       arg, std::strlen(arg), sizeof g_device - 1);
        break;
    case 2:
        if (!takeName(g_remoteSvr, sizeof g_remoteSvr, arg))
            error_exit("collector host name is too long (%zu characters, at most %zu)\n",
                       std::strlen(arg), sizeof g_remoteSvr - 1);
        break;
    case 3:
        g_szRemotePort = arg;
        break;
    case 4:
        g_gwId = cvAtoi(arg);
        break;
    case 5:
        g_cardCfg = cvAtoi(arg);
        break;
    default:
        usageExit();
    }
}

int processCommandLine(int argc, char **argv)
{
    int positional = 0;
    for (int i = 1; i < argc && argv[i] != nullptr; i++) {
        char *arg = argv[i];
        switch (arg[0]) {
        case '-': case '/':
            applyOption(arg);
            break;
        case '+':
            if (arg[1] == 'd' || arg[1] == 'D')
                g_bDisplayData = 1;
            break;
        case '*':
            break;
        case '?':
            usageExit();
        default:
            applyPositional(++positional, arg);
            break;
        }
    }
    return 0;
}

void deriveLineNumber()
{
    std::size_t len = std::strlen(g_device);
    g_origLine = len ? cvAtoi(g_device + len - 1) : 0;
    g_lineNum = g_origLine < g_cardCfg ? g_origLine : g_origLine - g_cardCfg;
}
