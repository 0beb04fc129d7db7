// Sockets.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "options.h"
#include "summary.h"

constexpr unsigned kSpareFds = 16;  // descriptors beside the connections: standard, sockets, files

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

static void setRcvBuf(int fd, int v)
{
    // Root may go past the system limit; others get what the limit allows.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &v, sizeof v) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, sizeof v);
}

// The address to bind for one socket type: the -b address, or all
// addresses of IPv6 with IPv4 mapped in, or of IPv4 when the system has
// no IPv6.
static int resolveBind(const char *bindAddr, int type, int port, struct addrinfo **res,
                       const char **shown)
{
    char service[8];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = type;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const char *host = bindAddr ? bindAddr : "::";
    if (!bindAddr) {
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

// --join: the UDP socket is a member of the multicast group at bind
// address a, on the interface of --join-if (or the one the system picks).
// Returns 0 with errno set when it cannot be.
static int joinGroup(int fd, const struct addrinfo *a, const char *ifName)
{
    unsigned ifIndex = 0;
    if (ifName && !(ifIndex = if_nametoindex(ifName)))
        return 0;
    if (a->ai_family == AF_INET) {
        struct ip_mreqn m;
        memset(&m, 0, sizeof m);
        m.imr_multiaddr = ((const struct sockaddr_in *)a->ai_addr)->sin_addr;
        m.imr_ifindex = (int)ifIndex;
        if (!IN_MULTICAST(ntohl(m.imr_multiaddr.s_addr))) {
            errno = EINVAL;
            return 0;
        }
        return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
    }
    struct ipv6_mreq m;
    m.ipv6mr_multiaddr = ((const struct sockaddr_in6 *)a->ai_addr)->sin6_addr;
    m.ipv6mr_interface = ifIndex;
    if (!IN6_IS_ADDR_MULTICAST(&m.ipv6mr_multiaddr)) {
        errno = EINVAL;
        return 0;
    }
    return setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &m, sizeof m) == 0;
}

// Opens one socket bound to port; returns it, or -1 with errno or *gaiErr set.
// With --join the UDP socket is bound to the group's address with
// SO_REUSEADDR, as multicast receivers are: every receiver of the group on
// this host may share the port and each gets every datagram of the group
// (SO_REUSEPORT would share out unicast datagrams among them instead), and
// datagrams sent to the port at other addresses do not reach it.
static int bindOne(const Options &o, int type, int port, int *gaiErr, const char **shown)
{
    struct addrinfo *res = nullptr;
    int group = type == SOCK_DGRAM && o.joinGroup;
    *gaiErr = resolveBind(group ? o.joinGroup : o.bindAddr, type, port, &res, shown);
    if (*gaiErr)
        return -1;
    int fd = socket(res->ai_family, res->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    res->ai_protocol);
    if (fd >= 0) {
        int on = 1, off = 0;
        if (res->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (type == SOCK_STREAM || group)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setRcvBuf(fd, o.rcvBufSize);
        // The backlog asked for is capped at the system's maximum
        // (net.core.somaxconn): a burst of connects waits in the queue
        // rather than for its SYNs to be sent again.
        if (bind(fd, res->ai_addr, res->ai_addrlen) != 0 ||
            (type == SOCK_STREAM && listen(fd, INT_MAX) != 0) ||
            (group && !joinGroup(fd, res, o.joinIf))) {
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
static int openBoth(const Options &o, Listeners *l)
{
    for (int attempt = 0; attempt < 32; attempt++) {
        int gaiErr;
        const char *host;
        int u = bindOne(o, SOCK_DGRAM, o.port, &gaiErr, &host);
        if (u < 0) {
            reportBindFailure("udp", host, o.port, gaiErr);
            return 0;
        }
        describeListener(&l->udp, u);
        int t = bindOne(o, SOCK_STREAM, l->udp.port, &gaiErr, &host);
        if (t >= 0) {
            describeListener(&l->tcp, t);
            return 1;
        }
        if (o.port != 0 || gaiErr || errno != EADDRINUSE) {
            reportBindFailure("tcp", host, l->udp.port, gaiErr);
            return 0;
        }
        close(u);
        l->udp.fd = -1;
    }
    fprintf(stderr, "cvfcollect: cannot find a port free for both udp and tcp\n");
    return 0;
}

Listeners noListeners(void)
{
    return {{-1, 0, ""}, {-1, 0, ""}, {-1, 0, ""}};
}

int openListeners(const Options &o, Listeners *l)
{
    *l = noListeners();
    if (o.listenUdp && o.listenTcp)
        return openBoth(o, l);
    int type = o.listenUdp ? SOCK_DGRAM : SOCK_STREAM;
    int gaiErr;
    const char *host;
    int fd = bindOne(o, type, o.port, &gaiErr, &host);
    if (fd < 0) {
        reportBindFailure(o.listenUdp ? "udp" : "tcp", host, o.port, gaiErr);
        return 0;
    }
    describeListener(o.listenUdp ? &l->udp : &l->tcp, fd);
    return 1;
}

void closeListeners(Listeners *l)
{
    for (Listener *x : {&l->udp, &l->tcp}) {
        if (x->fd >= 0)
            close(x->fd);
        x->fd = -1;
    }
    l->http.fd = -1;  // the HTTP server closes its own
}

void printListening(FILE *out, const Listeners &l)
{
    if (l.udp.fd >= 0)
        fprintf(out, "listening udp %s\n", l.udp.name);
    if (l.tcp.fd >= 0)
        fprintf(out, "listening tcp %s\n", l.tcp.name);
    if (l.http.fd >= 0)
        fprintf(out, "listening http %s\n", l.http.name);
    fflush(out);
}

int writeReadyFile(const char *path, const Listeners &l, const WaitPolicy *wait)
{
    return replaceFile(
        path, "create",
        [](FILE *f, const void *ctx) -> int {
            printListening(f, *(const Listeners *)ctx);
            return !ferror(f);
        },
        &l, wait);
}

UdpBatch *udpBatchNew(void)
{
    UdpBatch *b = (UdpBatch *)calloc(1, sizeof *b);
    if (!b)
        return nullptr;
    // Of the vector's inputs the kernel overwrites only the sender
    // address lengths: the rest is set once.
    for (int i = 0; i < kUdpBatch; i++) {
        b->iov[i].iov_base = b->buf[i];
        b->iov[i].iov_len = kUdpSlot;
        b->msgs[i].msg_hdr.msg_iov = &b->iov[i];
        b->msgs[i].msg_hdr.msg_iovlen = 1;
        b->msgs[i].msg_hdr.msg_name = &b->from[i];
    }
    return b;
}

void udpBatchFree(UdpBatch *b)
{
    free(b);
}

int udpReceive(const Listener &udp, UdpBatch *b)
{
    for (struct mmsghdr &m : b->msgs)
        m.msg_hdr.msg_namelen = sizeof b->from[0];
    int n = recvmmsg(udp.fd, b->msgs, kUdpBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            fprintf(stderr, "cvfcollect: udp receive on %s failed: %s\n", udp.name,
                    strerror(errno));
        return 0;
    }
    for (int i = 0; i < n; i++)
        b->len[i] = b->msgs[i].msg_len;
    return n;
}

// Raises the soft descriptor limit, when needed, to need (never above
// the hard limit).
static int ensureDescriptors(rlim_t need)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= need)
        return 1;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < need) {
        fprintf(stderr, "cvfcollect: %llu connections need %llu descriptors; the limit is %llu\n",
                (unsigned long long)(need - kSpareFds), (unsigned long long)need,
                (unsigned long long)rl.rlim_max);
        return 0;
    }
    rl.rlim_cur = need;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
        fprintf(stderr, "cvfcollect: cannot raise the descriptor limit to %llu: %s\n",
                (unsigned long long)need, strerror(errno));
        return 0;
    }
    return 1;
}

int connTableOpen(ConnTable *t, unsigned size, unsigned extraFds)
{
    *t = {};
    if (!ensureDescriptors((rlim_t)size + extraFds + kSpareFds))
        return 0;
    t->slots = (Conn *)calloc(size + 1, sizeof *t->slots);
    t->fds = (struct pollfd *)calloc(size + 4, sizeof *t->fds);
    t->polled = (Conn **)calloc(size + 4, sizeof *t->polled);
    if (!t->slots || !t->fds || !t->polled) {
        fprintf(stderr, "cvfcollect: no memory for %u connections\n", size);
        connTableClose(t);
        return 0;
    }
    t->size = size;
    for (unsigned i = 0; i < size; i++)
        t->slots[i].fd = -1;
    return 1;
}

void connTableClose(ConnTable *t)
{
    for (unsigned i = 0; i < t->size; i++)
        closeConn(&t->slots[i]);
    free(t->slots);
    free(t->fds);
    free(t->polled);
    *t = {};
}

int acceptOne(const Listener &tcp, char *peer, size_t size)
{
    struct sockaddr_storage sa;
    socklen_t len = sizeof sa;
    memset(&sa, 0, sizeof sa);
    int fd = accept4(tcp.fd, (struct sockaddr *)&sa, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0)
        formatAddr(&sa, peer, size);
    return fd;
}

Conn *freeSlot(ConnTable *t)
{
    for (unsigned i = 0; i < t->size; i++)
        if (t->slots[i].fd < 0)
            return &t->slots[i];
    return nullptr;
}

// Who gives way before whom: the class, then the key, lowest first.
struct EvictionRank {
    int cls;       // 0: no whole record yet, or stalling inside one; 1: productive
    uint64_t key;  // 0: since when in that state; 1: the last record plus the credit
};

static EvictionRank evictionRank(const Conn &c, uint64_t nowNs)
{
    int stalling = streamPending(&c.stream) && nowNs - c.recordNs >= kStallingNs;
    if (!c.records || stalling)
        return {0, c.recordNs};
    uint64_t credit = c.lastRecordNs - c.firstRecordNs;
    return {1, c.lastRecordNs + (credit < kProductiveCreditNs ? credit : kProductiveCreditNs)};
}

Conn *evictionVictim(ConnTable *t, uint64_t nowNs)
{
    Conn *victim = nullptr;
    EvictionRank best = {2, 0};
    for (unsigned i = 0; i < t->size; i++) {
        Conn *c = &t->slots[i];
        if (c->fd < 0)
            continue;
        EvictionRank r = evictionRank(*c, nowNs);
        if (r.cls < best.cls || (r.cls == best.cls && r.key < best.key)) {
            victim = c;
            best = r;
        }
    }
    return victim;
}

void evictionNoted(EvictionReport *r, uint64_t nowNs)
{
    if (!r->count++)
        r->sinceNs = nowNs;
}

uint64_t evictionReportDue(const EvictionReport &r)
{
    return r.count ? r.sinceNs + kEvictReportNs : UINT64_MAX;
}

void evictionReport(EvictionReport *r, uint64_t nowNs, FILE *out)
{
    if (!r->count)
        return;
    fprintf(out, "cvfcollect: tcp: %llu connection%s evicted in the last %.3g s (slots full)\n",
            (unsigned long long)r->count, r->count == 1 ? "" : "s",
            (double)(nowNs - r->sinceNs) / 1e9);
    *r = {};
}

int connStart(Conn *c, int fd, const char *peer, int version, unsigned maxFrame, uint64_t nowNs)
{
    if (!streamOpen(&c->stream, version, maxFrame))
        return 0;
    c->fd = fd;
    c->records = 0;
    c->lastNs = c->recordNs = nowNs;
    c->firstRecordNs = c->lastRecordNs = 0;
    snprintf(c->peer, sizeof c->peer, "%s", peer);
    return 1;
}

void connNoteRead(Conn *c, size_t pendingBefore, uint64_t recordsBefore, uint64_t nowNs)
{
    c->lastNs = nowNs;
    if (c->records != recordsBefore) {
        if (!recordsBefore)
            c->firstRecordNs = nowNs;
        c->lastRecordNs = nowNs;
    }
    // Bytes left over after a record taken in this read, or after none
    // buffered, began a new record now; else the same record goes on.
    if (pendingBefore == 0 || c->records != recordsBefore)
        c->recordNs = nowNs;
}

uint64_t stallDue(const Conn &c, uint64_t stallNs)
{
    if (c.fd < 0 || streamPending(&c.stream) == 0)
        return UINT64_MAX;
    return c.recordNs + stallNs;
}

void closeConn(Conn *c)
{
    if (c->fd < 0)
        return;
    close(c->fd);
    c->fd = -1;
    streamClose(&c->stream);
}
