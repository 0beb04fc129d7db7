/*
 * cvbench-floodloop: the bare flood loop, the yardstick for cvfmonUdp's
 * flood mode.
 *
 *   cvbench-floodloop host port count [size]
 *
 * Sends count records of size + 20 bytes (default size 131: 151-byte
 * records, a version 0 header and size + 2 zero frame bytes) over a
 * connected UDP socket, each with one sched_yield and one write, in the
 * monitor's order, and nothing else but the 16-bit sequence number (no time
 * stamp, no other header field is touched). Counts only whole writes
 * towards count, like the monitor's flood mode, and prints the same closing
 * line: "Duration=<s>.<us>, successful sends=<n>".
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netdb.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "udp_peer.h"

#define MAX_SIZE 4096
#define BUF_BYTES (1 << 19)   /* socket buffers, as the monitor sets them */

static unsigned char g_rec[MAX_SIZE + 24];  /* the record, zero frame bytes */

int main(int argc, char **argv)
{
    unsigned long count, sends = 0, fails = 0;
    struct timeval t0, t1;
    unsigned short seq = 0;
    long secs, usecs;
    int size, len, fd;

    if (argc < 4 || argc > 5) {
        fprintf(stderr, "usage: cvbench-floodloop host port count [size]\n");
        return 1;
    }
    count = strtoul(argv[3], NULL, 10);
    size = argc > 4 ? atoi(argv[4]) : 131;
    if (size < 0 || size + 2 > MAX_SIZE) {
        fprintf(stderr, "cvbench-floodloop: size %d out of range 0..%d\n", size, MAX_SIZE - 2);
        return 1;
    }
    len = size + 20;
    fd = openCollector("cvbench-floodloop", argv[1], argv[2], BUF_BYTES, 1);
    if (fd < 0)
        return 1;
    g_rec[14] = 1;                         /* transmitted */
    g_rec[16] = (unsigned char)((size + 2) >> 8);
    g_rec[17] = (unsigned char)(size + 2);

    gettimeofday(&t0, NULL);
    while (sends < count) {
        sched_yield();
        g_rec[0] = (unsigned char)(seq >> 8);
        g_rec[1] = (unsigned char)seq;
        seq++;
        if (write(fd, g_rec, (size_t)len) == len)
            sends++;
        else
            fails++;
    }
    gettimeofday(&t1, NULL);
    secs = (long)(t1.tv_sec - t0.tv_sec);
    usecs = (long)(t1.tv_usec - t0.tv_usec);
    if (usecs < 0) {
        secs--;
        usecs += 1000000;
    }
    printf("Duration=%ld.%06ld, successful sends=%lu, failed=%lu\n", secs, usecs, sends, fails);
    return 0;
}
