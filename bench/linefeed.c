/*
 * cvbench-linefeed: records sent straight to a collector over UDP, paced,
 * spread over many (gateway, line) pairs; the feeder of the collector's
 * benchmarks.
 *
 *   cvbench-linefeed host port count rate lines [size]
 *
 * Sends count version 0 records of 18 + size bytes (default size 133:
 * 151-byte records, as the monitor forwards the bench's frames) at rate
 * records per second (0: as fast as it can) over a connected UDP socket.
 * Records go out in batches of up to 64, each batch one send with UDP
 * segmentation offload (UDP_SEGMENT): the kernel cuts it into one datagram
 * per record, so the collector receives what monitors send, one record per
 * datagram, at rates beyond what one CPU sending datagram by datagram
 * reaches. Record k goes to pair k % lines (1 to 65,280 lines), pair i
 * being gateway 1 + i / 256, line i % 256; each pair has its own sequence
 * numbers from 0, so a collector that takes every record counts nothing
 * lost. Directions alternate, time stamps are the time of day.
 *
 * Pacing keeps to the schedule (record n due at n / rate seconds): ahead of
 * it, it sleeps until the next record is due; behind it by up to 1 ms of
 * records (at least two batches), it sends whole batches until it has
 * caught up. Held up for longer (the CPU taken by other work), it does not
 * make up for the time in a burst faster than rate: the schedule moves on,
 * and the rate reached over the run is lower.
 *
 * SIGTERM or SIGINT ends it early. Prints "Duration=<s>.<us>, successful
 * sends=<n>, failed=<n>" (in records) as the other yardsticks do.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "udp_peer.h"

#define HDR 18                /* version 0 forwarded-record header */
#define MAX_FRAME 4096
#define MAX_PAIRS 65280       /* gateways 1..255, lines 0..255 */
#define BATCH 64              /* segments of one send (UDP_MAX_SEGMENTS) */
#define MAX_SEND 65000        /* bytes of one send, below the datagram limit */
#define BUF_BYTES (1 << 19)   /* socket buffers, as the monitor sets them */
#define SLEEP_FLOOR_NS 20000  /* ahead by less than this: send anyway */
#define MAX_BEHIND_NS 1000000 /* time behind the schedule that is made up for */

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103       /* linux/udp.h: gso_size, bytes per datagram */
#endif

static volatile sig_atomic_t g_stop;  /* set by SIGTERM/SIGINT */
static unsigned char g_buf[BATCH * (HDR + MAX_FRAME)];  /* a batch, back to back */
static uint16_t g_seq[MAX_PAIRS];

static void onSignal(int sig)
{
    (void)sig;
    g_stop = 1;
}

static uint64_t nowNs(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* Fills r with record k of the feed, of frame size size. */
static void buildRecord(unsigned char *r, int size, unsigned long k, unsigned lines,
                        uint64_t wallNs)
{
    unsigned pair = (unsigned)(k % lines);
    putBe16(r, g_seq[pair]++);
    putBe64(r + 2, wallNs / 1000000000u);
    putBe16(r + 10, (uint16_t)(wallNs / 1000000u % 1000u));
    r[12] = (unsigned char)(1 + pair / 256);
    r[13] = (unsigned char)(pair % 256);
    r[14] = (unsigned char)(k & 1);
    r[15] = 0;
    putBe16(r + 16, (uint16_t)size);
}

/* Records due by now under the schedule, at most count. */
static unsigned long due(uint64_t startNs, double rate, unsigned long count)
{
    if (rate <= 0)
        return count;
    double n = (double)(nowNs(CLOCK_MONOTONIC) - startNs) * rate / 1e9;
    return n >= (double)count ? count : (unsigned long)n + 1;
}

/* Sleeps until record n is due, when that is far enough ahead. */
static void waitFor(uint64_t startNs, double rate, unsigned long n)
{
    uint64_t at = startNs + (uint64_t)((double)n * 1e9 / rate);
    uint64_t now = nowNs(CLOCK_MONOTONIC);
    if (at <= now + SLEEP_FLOOR_NS)
        return;
    struct timespec ts = {(time_t)(at / 1000000000u), (long)(at % 1000000000u)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL);
}

int main(int argc, char **argv)
{
    unsigned long count, sent = 0, fails = 0;
    unsigned lines;
    double rate;
    int size, len, batch, fd;

    if (argc < 6 || argc > 7) {
        fprintf(stderr, "usage: cvbench-linefeed host port count rate lines [size]\n");
        return 1;
    }
    count = strtoul(argv[3], NULL, 10);
    rate = atof(argv[4]);
    lines = (unsigned)strtoul(argv[5], NULL, 10);
    size = argc > 6 ? atoi(argv[6]) : 133;
    if (size < 0 || size > MAX_FRAME || lines < 1 || lines > MAX_PAIRS || rate < 0) {
        fprintf(stderr, "cvbench-linefeed: size 0..%d, lines 1..%d, rate >= 0\n", MAX_FRAME,
                MAX_PAIRS);
        return 1;
    }
    len = HDR + size;
    batch = MAX_SEND / len < BATCH ? MAX_SEND / len : BATCH;
    fd = openCollector("cvbench-linefeed", argv[1], argv[2], BUF_BYTES, 0);
    if (fd < 0)
        return 1;
    if (setsockopt(fd, SOL_UDP, UDP_SEGMENT, &len, sizeof len) != 0) {
        perror("cvbench-linefeed: UDP_SEGMENT");
        return 1;
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);

    unsigned long maxBehind = (unsigned long)(rate * MAX_BEHIND_NS / 1e9);
    if (maxBehind < 2 * BATCH)
        maxBehind = 2 * BATCH;
    uint64_t t0 = nowNs(CLOCK_MONOTONIC), start = t0;
    while (sent < count && !g_stop) {
        unsigned long n = due(t0, rate, count);
        if (n <= sent) {
            waitFor(t0, rate, sent);
            continue;
        }
        if (rate > 0 && n - sent > maxBehind) {
            /* the schedule starts again with one batch due now */
            t0 = nowNs(CLOCK_MONOTONIC) - (uint64_t)((double)(sent + BATCH) * 1e9 / rate);
            n = sent + BATCH < count ? sent + BATCH : count;
        }
        int b = n - sent < (unsigned long)batch ? (int)(n - sent) : batch;
        uint64_t wall = nowNs(CLOCK_REALTIME);
        for (int i = 0; i < b; i++)
            buildRecord(g_buf + (size_t)i * (size_t)len, size, sent + (unsigned long)i, lines,
                        wall);
        /* A batch the kernel refuses is counted failed and skipped: its
         * numbers stay used, so the collector counts them lost. */
        if (send(fd, g_buf, (size_t)b * (size_t)len, 0) < 0) {
            if (errno != ENOBUFS && errno != EAGAIN && errno != ECONNREFUSED && errno != EINTR) {
                perror("cvbench-linefeed: send");
                return 1;
            }
            fails += (unsigned long)b;
        }
        sent += (unsigned long)b;
    }
    uint64_t ns = nowNs(CLOCK_MONOTONIC) - start;
    printf("Duration=%llu.%06llu, successful sends=%lu, failed=%lu\n",
           (unsigned long long)(ns / 1000000000u), (unsigned long long)(ns / 1000u % 1000000u),
           sent - fails, fails);
    return 0;
}
