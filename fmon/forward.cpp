// Forwarding records to the collector.
#include "forward.h"
#include "connection.h"
#include "settings.h"
#include "shutdown.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <ctime>
#include <sys/socket.h>

unsigned long baseTimeStamp;
struct timeval basetv;
uint16_t g_localSeq;
struct timeval lasttv;
int bLastTimeKnown;

static void storeBe16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)v;
}

uint64_t hl64ton(uint64_t v)
{
    unsigned char b[8];
    for (int i = 0; i < 8; i++)
        b[i] = (unsigned char)(v >> (56 - 8 * i));
    uint64_t out;
    std::memcpy(&out, b, sizeof out);
    return out;
}

std::size_t fwdHeaderSize()
{
    return g_bUseHeaderV0 ? FWD_V0_HDR_SIZE : FWD_V1_HDR_SIZE;
}

std::size_t writeFwdHeader(unsigned char *frame, const FwdHeader &h)
{
    std::size_t size = fwdHeaderSize();
    unsigned char *out = frame - size;
    if (!g_bUseHeaderV0) {
        out[0] = 1;
        out[1] = 0;
        out += FWD_V1_PREFIX;
    }
    storeBe16(out + FWD_OFF_SEQNO, h.seqNo);
    uint64_t secs = hl64ton(h.stampSecs);
    std::memcpy(out + FWD_OFF_SECS, &secs, sizeof secs);
    storeBe16(out + FWD_OFF_MSECS, h.stampMsecs);
    out[FWD_OFF_GWID] = (unsigned char)g_gwId;
    out[FWD_OFF_LINE] = (unsigned char)g_lineNum;
    out[FWD_OFF_TXFLAG] = h.txFlag;
    out[FWD_OFF_RESERVED] = 0;
    storeBe16(out + FWD_OFF_FRAMELEN, h.frameLen);
    return size;
}

void SetBaseTimeStamp(unsigned long stamp)
{
    gettimeofday(&basetv, nullptr);
    baseTimeStamp = stamp;
}

void ConvertTimeStamp(unsigned long stamp, uint64_t *secs, uint16_t *msecs)
{
    // Unsigned arithmetic of the stamp's width, so a wrap of the driver's
    // clock between the base and this stamp still gives the true distance.
    unsigned long m = (stamp - baseTimeStamp) + (unsigned long)basetv.tv_usec / 1000;
    unsigned long s = (unsigned long)basetv.tv_sec + m / 1000;
    *secs = s;
    *msecs = (uint16_t)(m % 1000);
}

void f_monotonicNow(struct timeval *tv)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
}

uint32_t f_elapsedUsecs(const struct timeval *now, const struct timeval *then)
{
    if (now->tv_sec - then->tv_sec > 0)
        return 1000000;
    return (uint32_t)(now->tv_usec - then->tv_usec);
}

void f_delayLoop()
{
    if (bLastTimeKnown) {
        for (;;) {
            struct timeval now;
            gettimeofday(&now, nullptr);
            if (f_elapsedUsecs(&now, &lasttv) >= g_minimumDelay)
                break;
            checkTermination();
            sched_yield();
        }
    }
    gettimeofday(&lasttv, nullptr);
    bLastTimeKnown = 1;
}

// TCP without a connection: a new attempt once the retry time has passed.
static bool tcpReady()
{
    if (g_sockfd > 0)
        return true;
    struct timeval now;
    f_monotonicNow(&now);
    if (now.tv_sec - connecttv.tv_sec <= g_reconnectTime)
        return false;
    if (!connectToRemoteServer()) {
        closeRemote();
        return false;
    }
    std::fprintf(stderr, "TCP connection successful.\n");
    return true;
}

static void sendRecord(const unsigned char *rec, int size, uint16_t seq)
{
    if (g_bUseTcp) {
        if (!tcpReady())
            return;
    } else {
        f_delayLoop();
        if (g_sockfd <= 0)
            return;
    }
    if (g_bDisplayData)
        std::printf("Attempt to write frame, fd=%d, len=%d\n", g_sockfd, size);
    ssize_t n = send(g_sockfd, rec, (std::size_t)size, MSG_NOSIGNAL);
    if (n == size) {
        if (g_bDisplayData)
            std::printf("Send success, fd=%d, len=%d\n", g_sockfd, size);
        return;
    }
    int err = errno;
    checkTermination();
    if (g_bUseTcp) {
        if (g_bDisplayData)
            std::printf("TCP write failed, errno=%u, \n\t%s\n", (unsigned)err, std::strerror(err));
        closeRemote();
        return;
    }
    if (err == ECONNREFUSED && g_bIgnoreIcmp)
        return;
    std::fprintf(stderr, "%s: Error in UDP write, length=%d, seq=%u: error=%u \n\t%s\n", progname,
                 size, (unsigned)seq, (unsigned)err, std::strerror(err));
}

void createFrame(const MonHeader *hdr, unsigned char *frame)
{
    FwdHeader h;
    ConvertTimeStamp(hdr->timeStamp, &h.stampSecs, &h.stampMsecs);
    h.txFlag = hdr->direction == 1 ? 1 : 0;
    if (g_bGenerateLocalSeq)
        h.seqNo = g_localSeq++;
    else
        h.seqNo = (uint16_t)hdr->seq_no;
    h.frameLen = (uint16_t)hdr->length;
    if (g_bDisplayData)
        std::printf("Stamp=%lu, seq=%u, %s, len=%u, %02x %02x\n", hdr->timeStamp,
                    (unsigned)hdr->seq_no, h.txFlag ? "Tx" : "Rx", (unsigned)hdr->length,
                    frame[0], frame[1]);
    std::size_t hsize = writeFwdHeader(frame, h);
    if (g_truncationLen != 0 && hdr->length > g_truncationLen)
        std::memset(frame + g_truncationLen, 0, hdr->length - g_truncationLen);
    int size = (int)(hdr->length + hsize);
    sendRecord(frame - hsize, size, h.seqNo);
}

void forwardRecord(unsigned char *area, const MonHeader &h)
{
    unsigned char *rec = area + MONBUF_REC_OFF;
    unsigned char saved[MONREC_HDR_SIZE];
    std::memcpy(saved, rec, sizeof saved);
    exp_seq_no = h.seq_no + 1;
    createFrame(&h, area + MONBUF_HDR_AREA);
    std::memcpy(rec, saved, sizeof saved);
}
