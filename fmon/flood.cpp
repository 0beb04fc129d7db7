// Flood mode.
#include "flood.h"
#include "connection.h"
#include "forward.h"
#include "monrec.h"
#include "settings.h"
#include "shutdown.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/socket.h>

constexpr int REARM_DISTANCE = 11;

std::size_t floodRecordSize()
{
    return fwdHeaderSize() + (std::size_t)(g_floodSize + 2);
}

unsigned char *floodBuildRecord(uint16_t seq, const struct timeval &t)
{
    FwdHeader h;
    h.seqNo = seq;
    h.stampSecs = (uint64_t)(unsigned long)t.tv_sec;
    h.stampMsecs = (uint16_t)(t.tv_usec / 1000);
    h.txFlag = 1;
    h.frameLen = (uint16_t)(g_floodSize + 2);
    std::size_t hsize = writeFwdHeader(monBufFrame(), h);
    return monBufFrame() - hsize;
}

void floodWholeWrite(FloodRefusals *r, uint16_t seq)
{
    if (r->reported && (int)seq - (int)r->lastSeq >= REARM_DISTANCE)
        r->reported = 0;
}

int floodRefused(FloodRefusals *r, uint16_t seq)
{
    int report = !r->reported;
    r->reported = 1;
    r->lastSeq = seq;
    return report;
}

void floodOtherError(FloodRefusals *r)
{
    r->reported = 0;
}

[[noreturn]] static void floodAborted()
{
    std::fprintf(stderr, "Flood aborted: TCP connect failed\n");
    gettimeofday(&starttv, nullptr); // nothing was sent: a zero duration
    std::exit(0);
}

static void floodStarted(std::size_t size)
{
    gettimeofday(&starttv, nullptr);
    if (g_bFloodDelay)
        std::printf("Flood started: %lu.%06lu, delay=%u, size=%u\n", (unsigned long)starttv.tv_sec,
                    (unsigned long)starttv.tv_usec, g_minimumDelay, (unsigned)size);
    else
        std::printf("Flood started: %lu.%06lu, using sched_yield, size=%u\n",
                    (unsigned long)starttv.tv_sec, (unsigned long)starttv.tv_usec, (unsigned)size);
    std::fflush(stdout);
}

// A TCP stream that took less than a whole record is lost to the flood: the
// collector can no longer find the records' boundaries.
[[noreturn]] static void floodConnectionLost(ssize_t n, std::size_t size, uint16_t seq, int err)
{
    if (n < 0)
        error_exit("Flood aborted: TCP connection lost, seq=%u: error=%u \n\t%s\n", (unsigned)seq,
                   (unsigned)err, std::strerror(err));
    error_exit("Flood aborted: TCP connection lost, seq=%u: %ld of %u bytes written\n",
               (unsigned)seq, (long)n, (unsigned)size);
}

static void floodSendOne(FloodRefusals *ref, std::size_t size)
{
    struct timeval t;
    gettimeofday(&t, nullptr);
    if (!g_bUseTcp) {
        if (g_bFloodDelay)
            f_delayLoop();
        else
            sched_yield();
    }
    uint16_t seq = g_localSeq++;
    const unsigned char *rec = floodBuildRecord(seq, t);
    // send() rather than write(): a closed TCP peer gives EPIPE, not SIGPIPE.
    ssize_t n = send(g_sockfd, rec, size, MSG_NOSIGNAL);
    if (n == (ssize_t)size) {
        floodSends++;
        floodWholeWrite(ref, seq);
        return;
    }
    int err = errno;
    checkTermination();
    if (g_bUseTcp)
        floodConnectionLost(n, size, seq, err);
    if (n < 0 && err == ECONNREFUSED) {
        if (floodRefused(ref, seq))
            std::fprintf(stderr, "%s: UDP connect refused, length=%d, seq=%u: error=%u \n\t%s\n",
                         progname, (int)size, (unsigned)seq, (unsigned)err, std::strerror(err));
        return;
    }
    std::fprintf(stderr, "%s: Error in UDP write, length=%d, seq=%u: error=%u \n\t%s\n", progname,
                 (int)size, (unsigned)seq, (unsigned)err, std::strerror(err));
    floodOtherError(ref);
}

void runFlood()
{
    if (g_sockfd <= 0)
        floodAborted();
    FloodRefusals ref = {0, 0};
    std::size_t size = floodRecordSize();
    floodStarted(size);
    floodSends = 0;
    do {
        checkTermination();
        floodSendOne(&ref, size);
    } while (g_floodCount == 0 || floodSends < g_floodCount);
    struct timeval end;
    gettimeofday(&end, nullptr);
    std::printf("Flood finished: %lu.%06lu\n", (unsigned long)end.tv_sec,
                (unsigned long)end.tv_usec);
    std::exit(0);
}
