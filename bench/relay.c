/*
 * cvbench-relay: the smallest forwarder of monitor records that the design
 * allows, the yardstick for cvfmonUdp's forwarding rate.
 *
 *   cvbench-relay device host port [gwid [batch]]
 *
 * One blocking AF_PACKET receive per record (protocol ETH_P_DIAG, the
 * monitor records the sync driver delivers), the 18-byte forwarded-record
 * header (version 0) built in place in front of the frame bytes, and one
 * send per record to the collector over UDP. No reordering, no pacing.
 * With a batch of 2 or more, it takes in up to that many records with one
 * recvmmsg and sends them, still one datagram per record, with one sendmmsg:
 * the same records on the wire for fewer system calls.
 * SIGTERM or SIGINT ends it; it then prints "relayed=<n> dropped=<n>" on
 * standard error and exits with status 0.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "udp_peer.h"

#define DIAG_PROTO 0x6005     /* ETH_P_DIAG: the monitor record protocol */
#define MAX_FRAME 4096        /* largest frame in a monitor record */
#define FWD_HDR 18            /* version 0 forwarded-record header */
#define HDR_AREA 24           /* room in front of the frame bytes */
#define BUF_BYTES (1u << 19)  /* socket buffers, as the monitor sets them */
#define MAX_BATCH 64

/* The driver's record header follows the host word size: the time stamp is
 * an unsigned long, so the header is 16 bytes on 32-bit and 24 on 64-bit. */
#define REC_HDR (sizeof(unsigned long) == 8 ? 24u : 16u)
#define REC_LEN_OFF (sizeof(unsigned long) == 8 ? 16u : 12u)

static volatile sig_atomic_t g_stop;          /* set by SIGTERM/SIGINT */
static unsigned char g_buf[MAX_BATCH][HDR_AREA + MAX_FRAME + 64]; /* records */
static unsigned long g_relayed, g_dropped;    /* records sent, records not */
static unsigned long g_base;                  /* driver stamp of the first record */
static struct timeval g_basetv;               /* time of day of the first record */
static int g_haveBase;                        /* 1 once the base is set */
static int g_gwid;                            /* gateway id sent */

static void onSignal(int sig)
{
    (void)sig;
    g_stop = 1;
}

static int openMonitor(const char *dev)
{
    struct ifreq ifr;
    struct sockaddr_ll sll;
    int size = (int)BUF_BYTES;
    int fd = socket(AF_PACKET, SOCK_RAW, htons(DIAG_PROTO));

    if (fd < 0) {
        perror("cvbench-relay: packet socket");
        return -1;
    }
    if (strlen(dev) >= IFNAMSIZ) {
        fprintf(stderr, "cvbench-relay: %s: interface name too long\n", dev);
        close(fd);
        return -1;
    }
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, dev, strlen(dev));
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        fprintf(stderr, "cvbench-relay: %s: %s\n", dev, strerror(errno));
        close(fd);
        return -1;
    }
    memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(DIAG_PROTO);
    sll.sll_ifindex = ifr.ifr_ifindex;
    if (bind(fd, (struct sockaddr *)&sll, sizeof sll) < 0) {
        fprintf(stderr, "cvbench-relay: bind %s: %s\n", dev, strerror(errno));
        close(fd);
        return -1;
    }
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

/* Builds the forwarded header in front of the frame of the record of n
 * bytes at buf + HDR_AREA - REC_HDR. Returns the record's size, or 0 for a
 * datagram that is not a whole record. */
static size_t buildRecord(unsigned char *buf, size_t n)
{
    unsigned char *rec = buf + HDR_AREA - REC_HDR;
    unsigned char *out = buf + HDR_AREA - FWD_HDR;
    uint32_t seq, len;
    unsigned long stamp;
    uint64_t ms;
    unsigned char dir;

    memcpy(&len, rec + REC_LEN_OFF, 4);
    if (n < REC_HDR || len > MAX_FRAME || len > n - REC_HDR)
        return 0;
    dir = rec[1];
    memcpy(&seq, rec + 4, 4);
    memcpy(&stamp, rec + 8, sizeof stamp);
    if (!g_haveBase) {
        gettimeofday(&g_basetv, NULL);
        g_base = stamp;
        g_haveBase = 1;
    }
    ms = (uint64_t)(unsigned long)(stamp - g_base) + (uint64_t)g_basetv.tv_usec / 1000;
    putBe16(out, (uint16_t)seq);
    putBe64(out + 2, (uint64_t)g_basetv.tv_sec + ms / 1000);
    putBe16(out + 10, (uint16_t)(ms % 1000));
    out[12] = (unsigned char)g_gwid;
    out[13] = 0;
    out[14] = dir == 1;
    out[15] = 0;
    putBe16(out + 16, (uint16_t)len);
    return FWD_HDR + len;
}

static void relayOne(int mon, int col)
{
    unsigned char *buf = g_buf[0];
    ssize_t n = recv(mon, buf + HDR_AREA - REC_HDR, REC_HDR + MAX_FRAME, 0);
    size_t size;

    if (n < 0) {
        if (errno != EINTR)
            perror("cvbench-relay: recv");
        return;
    }
    size = buildRecord(buf, (size_t)n);
    if (size == 0)
        g_dropped++;
    else if (send(col, buf + HDR_AREA - FWD_HDR, size, MSG_NOSIGNAL) == (ssize_t)size)
        g_relayed++;
    else
        g_dropped++;
}

static void relayBatch(int mon, int col, int batch)
{
    struct mmsghdr in[MAX_BATCH], out[MAX_BATCH];
    struct iovec inv[MAX_BATCH], outv[MAX_BATCH];
    int got, sent, k = 0, done = 0;

    memset(in, 0, sizeof in);
    for (int i = 0; i < batch; i++) {
        inv[i].iov_base = g_buf[i] + HDR_AREA - REC_HDR;
        inv[i].iov_len = REC_HDR + MAX_FRAME;
        in[i].msg_hdr.msg_iov = &inv[i];
        in[i].msg_hdr.msg_iovlen = 1;
    }
    got = recvmmsg(mon, in, (unsigned)batch, MSG_WAITFORONE, NULL);
    if (got < 0) {
        if (errno != EINTR)
            perror("cvbench-relay: recvmmsg");
        return;
    }
    memset(out, 0, sizeof out);
    for (int i = 0; i < got; i++) {
        size_t size = buildRecord(g_buf[i], in[i].msg_len);
        if (size == 0) {
            g_dropped++;
            continue;
        }
        outv[k].iov_base = g_buf[i] + HDR_AREA - FWD_HDR;
        outv[k].iov_len = size;
        out[k].msg_hdr.msg_iov = &outv[k];
        out[k].msg_hdr.msg_iovlen = 1;
        k++;
    }
    while (done < k) {
        sent = sendmmsg(col, out + done, (unsigned)(k - done), MSG_NOSIGNAL);
        if (sent <= 0) {        /* the first record left failed: it is lost */
            g_dropped++;
            done++;
            continue;
        }
        g_relayed += (unsigned long)sent;
        done += sent;
    }
}

int main(int argc, char **argv)
{
    struct sigaction sa;
    int batch, mon, col;

    if (argc < 4 || argc > 6) {
        fprintf(stderr, "usage: cvbench-relay device host port [gwid [batch]]\n");
        return 1;
    }
    g_gwid = argc > 4 ? atoi(argv[4]) : 1;
    batch = argc > 5 ? atoi(argv[5]) : 1;
    if (batch < 1 || batch > MAX_BATCH) {
        fprintf(stderr, "cvbench-relay: batch %d out of range 1..%d\n", batch, MAX_BATCH);
        return 1;
    }
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;   /* no SA_RESTART: a signal ends recv */
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    mon = openMonitor(argv[1]);
    col = mon < 0 ? -1 : openCollector("cvbench-relay", argv[2], argv[3], (int)BUF_BYTES, 0);
    if (mon < 0 || col < 0)
        return 1;
    while (!g_stop) {
        if (batch == 1)
            relayOne(mon, col);
        else
            relayBatch(mon, col, batch);
    }
    fprintf(stderr, "relayed=%lu dropped=%lu\n", g_relayed, g_dropped);
    return 0;
}
