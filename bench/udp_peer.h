/*
 * The UDP socket towards the collector that both yardsticks send on:
 * connected to host:port, send buffer (and with bothBufs the receive
 * buffer too) set to bufBytes. Reports as prog and returns -1 on failure.
 */
#ifndef CVBENCH_UDP_PEER_H
#define CVBENCH_UDP_PEER_H

#include <errno.h>
#include <stdint.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* Record header fields, big-endian as the monitor writes them. */
static inline void putBe16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)v;
}

static inline void putBe64(unsigned char *p, uint64_t v)
{
    for (int i = 7; i >= 0; i--) {
        p[i] = (unsigned char)v;
        v >>= 8;
    }
}

static int openCollector(const char *prog, const char *host, const char *port, int bufBytes,
                         int bothBufs)
{
    struct addrinfo hints, *res;
    int fd, rc;

    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_DGRAM;
    rc = getaddrinfo(host, port, &hints, &res);
    if (rc != 0) {
        fprintf(stderr, "%s: %s:%s: %s\n", prog, host, port, gai_strerror(rc));
        return -1;
    }
    fd = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
    if (fd >= 0) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufBytes, sizeof bufBytes);
        if (bothBufs)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufBytes, sizeof bufBytes);
        if (connect(fd, res->ai_addr, res->ai_addrlen) < 0) {
            close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        fprintf(stderr, "%s: %s:%s: %s\n", prog, host, port, strerror(errno));
    freeaddrinfo(res);
    return fd;
}

#endif
