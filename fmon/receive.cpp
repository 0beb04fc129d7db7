// Monitor mode: the port's set-up and the receive loop.
#include "receive.h"
#include "forward.h"
#include "connection.h"
#include "ifreq.h"
#include "monrec.h"
#include "settings.h"
#include "shutdown.h"
#include "store.h"
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

int init_timestamp;
struct timeval init_tv;
int g_bLogStarted;
unsigned long g_discarded;
int g_bMonitorBound;

// Malformed records: the first is reported, later ones are counted and the
// count reported at most once a second.
static unsigned long discardsUnreported;
static struct timeval lastDiscardReport;
static int discardReported;

// The kernel's count of the records it dropped for want of room in the
// monitor socket's buffer. Every read of PACKET_STATISTICS starts the
// kernel's count again from 0, so the reads are added up here.
static unsigned long long kernelDrops;
static struct timeval lastDropRead;
static int dropReadFailed;

// The initial window, the spacing of discard and drop reports and the time
// given to the records queued at a stop are measured on the monotonic
// clock: setting the time of day neither stretches nor cuts them.
constexpr long INIT_WINDOW_MSECS = 10;
constexpr long DROP_READ_MSECS = 1000;
// At a stop the queued records are handled as usual for this long, then
// only counted until the socket is empty or the second limit is reached.
constexpr long STOP_HANDLE_MSECS = 300;
constexpr long STOP_READ_MSECS = 500;

long elapsedMilliSecs(const struct timeval *later, const struct timeval *earlier)
{
    return (long)(later->tv_sec - earlier->tv_sec) * 1000 +
           (long)(later->tv_usec - earlier->tv_usec) / 1000;
}

static bool windowDue(const struct timeval *now)
{
    return init_timestamp && !init_seq_no && elapsedMilliSecs(now, &init_tv) > INIT_WINDOW_MSECS;
}

static void reportDiscardCount(const struct timeval *now)
{
    if (discardsUnreported == 0 || now->tv_sec - lastDiscardReport.tv_sec < 1)
        return;
    std::fprintf(stderr, "%s: %s: %lu more monitor records discarded\n", progname, g_device,
                 discardsUnreported);
    discardsUnreported = 0;
    lastDiscardReport = *now;
}

static void readKernelDrops()
{
    if (!g_bMonitorBound || dropReadFailed)
        return;
    struct tpacket_stats st;
    socklen_t len = sizeof st;
    if (getsockopt(g_ifInfo.sock, SOL_PACKET, PACKET_STATISTICS, &st, &len) < 0) {
        dropReadFailed = 1;
        std::fprintf(stderr, "%s: %s: cannot read the kernel's drop count.\n%s\n", progname,
                     g_device, std::strerror(errno));
        return;
    }
    if (st.tp_drops == 0)
        return;
    kernelDrops += st.tp_drops;
    std::fprintf(stderr, "%s: %s: %u frames dropped by the kernel (socket buffer full)\n",
                 progname, g_device, (unsigned)st.tp_drops);
}

static void pollKernelDrops(const struct timeval *now)
{
    if (elapsedMilliSecs(now, &lastDropRead) < DROP_READ_MSECS)
        return;
    lastDropRead = *now;
    readKernelDrops();
}

void reportKernelDropsAtExit()
{
    readKernelDrops();
    if (kernelDrops != 0)
        std::fprintf(stderr, "%s: %s: %llu frames dropped by the kernel in all\n", progname,
                     g_device, kernelDrops);
}

void onIdle()
{
    struct timeval now;
    f_monotonicNow(&now);
    if (windowDue(&now))
        start_from_lowest();
    reportDiscardCount(&now);
    pollKernelDrops(&now);
}

// Why a datagram of n bytes, whose header decodes to h, is no whole record,
// or nullptr when it is one.
static const char *malformedReason(long n, const MonHeader &h)
{
    if (n < (long)MONREC_HDR_SIZE)
        return "shorter than a record header";
    if (h.length > MONREC_MAX_FRAME)
        return "frame length above 4096";
    if ((unsigned long)n < MONREC_HDR_SIZE + h.length)
        return "shorter than its frame length";
    return nullptr;
}

static void noteDiscard(long n, const char *why)
{
    g_discarded++;
    struct timeval now;
    f_monotonicNow(&now);
    if (discardReported && now.tv_sec - lastDiscardReport.tv_sec < 1) {
        discardsUnreported++;
        return;
    }
    reportDiscardCount(&now);
    std::fprintf(stderr, "%s: %s: monitor record discarded, %s (%ld bytes received)\n", progname,
                 g_device, why, n);
    discardReported = 1;
    lastDiscardReport = now;
}

static void decideRecord(const MonHeader &h)
{
    if (!init_seq_no) {
        // Every record of the initial window is held, whatever its number,
        // until the store has no room for the next one.
        if (store_has_room(h.length)) {
            add_to_store();
            return;
        }
        start_from_lowest();
    }
    int d = seqCompare(h.seq_no, exp_seq_no);
    if (d > 0) {
        add_to_store();
    } else if (d < 0) {
        std::fprintf(stderr, "UNEXPECTED sequence number: %u, expected: %u\n", (unsigned)h.seq_no,
                     (unsigned)exp_seq_no);
    } else {
        forwardRecord(g_monBuf, h);
        search_store();
    }
}

void handleRecord(long n)
{
    // Decoded once; read only when the datagram holds a whole header.
    const MonHeader h = monrecDecode(monBufRecord());
    const char *why = malformedReason(n, h);
    if (why != nullptr) {
        noteDiscard(n, why);
        return;
    }
    if (discardsUnreported != 0) {
        struct timeval now;
        f_monotonicNow(&now);
        reportDiscardCount(&now);
    }
    if (!init_seq_no) {
        struct timeval now;
        f_monotonicNow(&now);
        if (!init_timestamp) {
            init_tv = now;
            init_timestamp = 1;
        } else if (windowDue(&now)) {
            start_from_lowest();
        }
    }
    if (!g_bLogStarted) {
        SetBaseTimeStamp(h.timeStamp);
        g_bLogStarted = 1;
    }
    decideRecord(h);
}

static void prepareInterface(const char *name)
{
    short flags = 0;
    if (ifGetFlags(g_ifInfo.sock, name, &flags) < 0)
        error_exit("Error getting interface %s flags.%d\n%s\n", name, g_ifInfo.sock,
                   std::strerror(errno));
    if (network_needed == 1 && !(flags & IFF_UP)) {
        std::printf("%s: Preparing interface for monitoring\n", name);
        if (ifSetFlags(g_ifInfo.sock, name, (short)(flags | IFF_UP)) < 0)
            error_exit("Failed to bring interface %s up.\n%s\n", name, std::strerror(errno));
    } else {
        network_needed = 0;
        std::printf("%s: Interface already up\n", name);
    }
}

static_assert(sizeof(struct sockaddr_ll) == 20, "the driver binds a 20-byte address");

static void openMonitorSocket(const char *name)
{
    g_ifInfo.sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_DIAG_PROTO));
    if (g_ifInfo.sock < 0)
        error_exit("Failed to create raw socket to monitor interface %s.\n%s\n", name,
                   std::strerror(errno));
    if (g_ifInfo.sock >= FD_SETSIZE)
        error_exit("Monitor socket of %s has descriptor %d, beyond what select can watch.\n", name,
                   g_ifInfo.sock);
    int index = 0;
    if (ifGetIndex(g_ifInfo.sock, name, &index) < 0)
        error_exit("Error getting interface %s index.\n%s\n", name, std::strerror(errno));
    struct sockaddr_ll sll;
    std::memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = 0;
    sll.sll_ifindex = index;
    sll.sll_hatype = ARPHRD_RAWHDLC;
    if (bind(g_ifInfo.sock, reinterpret_cast<struct sockaddr *>(&sll), sizeof sll) < 0)
        error_exit("Problem binding to interface %s.\n%s\n", name, std::strerror(errno));
    g_bMonitorBound = 1;
    f_monotonicNow(&lastDropRead);
}

void monitorSetup()
{
    const char *name = g_device;
    g_ifInfo.name = name;
    g_ifInfo.sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (g_ifInfo.sock < 0)
        error_exit("Unable to create socket. %s\n", std::strerror(errno));
    if (ifSetMonitorMode(g_ifInfo.sock, name, 1) != 0)
        error_exit("Problem setting monitor mode %s.\n%s\n", name, std::strerror(errno));
    prepareInterface(name);
    if (close(g_ifInfo.sock) < 0)
        error_exit("Error closing interface %s\n.%s\n", name, std::strerror(errno));
    openMonitorSocket(name);
    if (g_bDefaultRcvbuf)
        cvt_showSocketRxBufferSize(&g_ifInfo);
    else
        cvt_increaseSocketRxBufferSize(&g_ifInfo);
    struct timespec pause = {1, 0};
    nanosleep(&pause, nullptr);
    checkTermination();
    int fl = fcntl(g_ifInfo.sock, F_GETFL);
    if (fl < 0 || fcntl(g_ifInfo.sock, F_SETFL, fl | O_NONBLOCK) < 0)
        error_exit("Problem making the monitor socket of %s non-blocking.\n%s\n", name,
                   std::strerror(errno));
}

// Reads one record into g_monBuf; its size, or -1 when the socket is empty
// or failed (the failure reported).
static ssize_t readRecord(int flags)
{
    ssize_t n = recvfrom(g_ifInfo.sock, monBufRecord(), MONREC_MAX_SIZE, flags, nullptr, nullptr);
    if (n < 0 && errno != EAGAIN) {
        int err = errno;
        checkTermination();
        std::fprintf(stderr, "%s: %s recvfrom error.%d\n%s\n", progname, g_ifInfo.name, err,
                     std::strerror(err));
        errno = err;
    }
    return n;
}

// Reads records until the socket is empty.
static void drainSocket()
{
    for (;;) {
        ssize_t n = readRecord(0);
        if (n < 0)
            return;
        handleRecord((long)n);
        checkTermination();
        // A line too busy for the socket ever to be empty is where drops
        // happen: they are looked at between records too.
        struct timeval now;
        f_monotonicNow(&now);
        pollKernelDrops(&now);
    }
}

static void reportUnforwarded(unsigned long count, bool emptied)
{
    if (count == 0 && emptied)
        return;
    if (count == 0)
        std::fprintf(stderr, "%s: %s: frames left unread: the stop's time ran out\n", progname,
                     g_device);
    else
        std::fprintf(stderr, "%s: %s: %lu frames not forwarded%s: the stop's time ran out\n",
                     progname, g_device, count, emptied ? "" : ", and more left unread");
}

void takeQueuedRecords()
{
    if (!g_bMonitorBound)
        return;
    struct timeval start;
    f_monotonicNow(&start);
    unsigned long unforwarded = 0;
    bool emptied = false;
    for (;;) {
        struct timeval now;
        f_monotonicNow(&now);
        long ms = elapsedMilliSecs(&now, &start);
        if (ms >= STOP_READ_MSECS)
            break;
        ssize_t n = readRecord(MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            emptied = true;
            break;
        }
        if (ms < STOP_HANDLE_MSECS)
            handleRecord((long)n);
        else
            unforwarded++;
    }
    reportUnforwarded(unforwarded, emptied);
}

[[noreturn]] static void receiveLoop()
{
    const int sock = g_ifInfo.sock;
    for (;;) {
        checkTermination();
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(sock, &rd);
        struct timeval tv = {0, 10000};
        int rc = select(sock + 1, &rd, nullptr, nullptr, &tv);
        if (rc < 0) {
            int err = errno;
            checkTermination();
            std::printf("%s: Error in select %d %d\n", g_ifInfo.name, rc, err);
        } else if (rc == 0) {
            onIdle();
        } else if (FD_ISSET(sock, &rd)) {
            drainSocket();
        }
    }
}

void runMonitor()
{
    monitorSetup();
    receiveLoop();
}
