// Sockets.
#include "collect_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "collect_options.h"
#include "collect_report.h"

Listener g_udpListener = {-1, 0, ""};
Listener g_tcpListener = {-1, 0, ""};
Conn g_conns[kMaxConns];
uint8_t g_udpBuf[kUdpBatch][kUdpSlot];
size_t g_udpLen[kUdpBatch];
struct sockaddr_storage g_udpFrom[kUdpBatch];

static struct mmsghdr g_udpMsgs[kUdpBatch];  // recvmmsg vector over g_udpBuf
static struct iovec g_udpIov[kUdpBatch];     // one slot each

static int g_connsReady;  // 1 once the free slots are marked

void formatAddr(const struct sockaddr_storage *sa, char *out, size_t size)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (sa->ss_family == AF_INET) {
        struct sockaddr_in a;
        memcpy(&a, sa, sizeof a);
        inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
        port = ntohs(a.sin_port);
        snprintf(out, size, "%s:%u", host, port);
        return;
    }
    struct sockaddr_in6 a;
    memcpy(&a, sa, sizeof a);
    port = ntohs(a.sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) {
        inet_ntop(AF_INET, &a.sin6_addr.s6_addr[12], host, sizeof host);
        snprintf(out, size, "%s:%u", host, port);
        return;
    }
    inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
    snprintf(out, size, "[%s]:%u", host, port);
}

static void describeListener(Listener *l, int fd)
{
    struct sockaddr_storage sa;
    socklen_t len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    getsockname(fd, (struct sockaddr *)&sa, &len);
    l->fd = fd;
    l->port = ntohs(sa.ss_family == AF_INET ? ((struct sockaddr_in *)&sa)->sin_port
                                            : ((struct sockaddr_in6 *)&sa)->sin6_port);
    formatAddr(&sa, l->name, sizeof l->name);
}

static void setRcvBuf(int fd)
{
    int v = g_rcvBufSize;
    // Root may go past the system limit; others get what the limit allows.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &v, sizeof v) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, sizeof v);
}

// The address to bind for one socket type: the -b address, or all
// addresses of IPv6 with IPv4 mapped in, or of IPv4 when the system has
// no IPv6.
static int resolveBind(int type, int port, struct addrinfo **res, const char **shown)
{
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = type;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const char *host = g_bindAddr ? g_bindAddr : "::";
    if (!g_bindAddr) {
        int probe = socket(AF_INET6, type, 0);
        if (probe < 0)
            host = "0.0.0.0";
        else
            close(probe);
        hints.ai_flags |= AI_NUMERICHOST;
    }
    *shown = host;
    return getaddrinfo(host, service, &hints, res);
}

// Opens one socket bound to port; returns it, or -1 with errno or *gaiErr set.
static int bindOne(int type, int port, int *gaiErr, const char **shown)
{
    struct addrinfo *res = nullptr;
    *gaiErr = resolveBind(type, port, &res, shown);
    if (*gaiErr)
        return -1;
    int fd = socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    res->ai_protocol);
    if (fd >= 0) {
        int on = 1, off = 0;
        if (res->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (type == SOCK_STREAM)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setRcvBuf(fd);
        if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 ||
            (type == SOCK_STREAM && listen(fd, 16) != 0)) {
            int e = errno;
            close(fd);
            errno = e;
            fd = -1;
        }
    }
    freeaddrinfo(res);
    return fd;
}

static void reportBindFailure(const char *proto, const char *host, int port, int gaiErr)
{
    const char *why = gaiErr ? gai_strerror(gaiErr) : strerror(errno);
    if (strchr(host, ':'))
        fprintf(stderr, "cvfcollect: cannot listen on %s [%s]:%d: %s\n", proto, host, port, why);
    else
        fprintf(stderr, "cvfcollect: cannot listen on %s %s:%d: %s\n", proto, host, port, why);
}

// With port 0 and both protocols, the TCP socket takes the port the
// system gave the UDP socket, so both are reached on one number.
static int openBoth(void)
{
    for (int attempt = 0; attempt < 32; attempt++) {
        int gaiErr;
        const char *host;
        int u = bindOne(SOCK_DGRAM, g_port, &gaiErr, &host);
        if (u < 0) {
            reportBindFailure("udp", host, g_port, gaiErr);
            return 0;
        }
        describeListener(&g_udpListener, u);
        int t = bindOne(SOCK_STREAM, g_udpListener.port, &gaiErr, &host);
        if (t >= 0) {
            describeListener(&g_tcpListener, t);
            return 1;
        }
        if (g_port != 0 || gaiErr || errno != EADDRINUSE) {
            reportBindFailure("tcp", host, g_udpListener.port, gaiErr);
            return 0;
        }
        close(u);
        g_udpListener.fd = -1;
    }
    fprintf(stderr, "cvfcollect: cannot find a port free for both udp and tcp\n");
    return 0;
}

int openListeners(void)
{
    if (g_bListenUdp && g_bListenTcp)
        return openBoth();
    int type = g_bListenUdp ? SOCK_DGRAM : SOCK_STREAM;
    int gaiErr;
    const char *host;
    int fd = bindOne(type, g_port, &gaiErr, &host);
    if (fd < 0) {
        reportBindFailure(g_bListenUdp ? "udp" : "tcp", host, g_port, gaiErr);
        return 0;
    }
    describeListener(g_bListenUdp ? &g_udpListener : &g_tcpListener, fd);
    return 1;
}

void printListening(FILE *out)
{
    if (g_udpListener.fd >= 0)
        fprintf(out, "listening udp %s\n", g_udpListener.name);
    if (g_tcpListener.fd >= 0)
        fprintf(out, "listening tcp %s\n", g_tcpListener.name);
    fflush(out);
}

int writeReadyFile(const char *path)
{
    return replaceFile(path, "create", [](FILE *f) -> int {
        printListening(f);
        return !ferror(f);
    });
}

// Points the recvmmsg vector at the slots, once: of its inputs the
// kernel overwrites only the sender address lengths.
static void udpPrepare(void)
{
    for (int i = 0; i < kUdpBatch; i++) {
        g_udpIov[i].iov_base = g_udpBuf[i];
        g_udpIov[i].iov_len = kUdpSlot;
        g_udpMsgs[i].msg_hdr.msg_iov = &g_udpIov[i];
        g_udpMsgs[i].msg_hdr.msg_iovlen = 1;
        g_udpMsgs[i].msg_hdr.msg_name = &g_udpFrom[i];
    }
}

int udpReceive(void)
{
    if (!g_udpMsgs[0].msg_hdr.msg_iov)
        udpPrepare();
    for (struct mmsghdr &m : g_udpMsgs)
        m.msg_hdr.msg_namelen = sizeof g_udpFrom[0];
    int n = recvmmsg(g_udpListener.fd, g_udpMsgs, kUdpBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fprintf(stderr, "cvfcollect: udp receive on %s failed: %s\n", g_udpListener.name,
                    strerror(errno));
        return 0;
    }
    for (int i = 0; i < n; i++)
        g_udpLen[i] = g_udpMsgs[i].msg_len;
    return n;
}

static void markFreeSlots(void)
{
    if (g_connsReady)
        return;
    for (Conn &c : g_conns)
        c.fd = -1;
    g_connsReady = 1;
}

Conn *acceptConn(int version, unsigned maxFrame)
{
    markFreeSlots();
    struct sockaddr_storage sa;
    socklen_t len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    int fd = accept4(g_tcpListener.fd, (struct sockaddr *)&sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    char peer[64];
    formatAddr(&sa, peer, sizeof peer);
    for (Conn &c : g_conns) {
        if (c.fd >= 0)
            continue;
        if (!streamOpen(&c.stream, version, maxFrame))
            break;
        c.fd = fd;
        c.records = 0;
        memcpy(c.peer, peer, sizeof peer);
        return &c;
    }
    fprintf(stderr, "cvfcollect: tcp %s: refused, %d connections open already\n", peer, kMaxConns);
    close(fd);
    return nullptr;
}

void closeConn(Conn *c)
{
    if (c->fd < 0)
        return;
    close(c->fd);
    c->fd = -1;
    streamClose(&c->stream);
}

void closeAllConns(void)
{
    markFreeSlots();
    for (Conn &c : g_conns)
        closeConn(&c);
}
