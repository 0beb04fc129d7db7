#include "fmon_test_util.h"
#include "connection.h"
#include "forward.h"
#include "receive.h"
#include "settings.h"
#include "shutdown.h"
#include "store.h"
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

void resetFmonState()
{
    std::memset(g_device, 0, sizeof g_device);
    std::memset(g_remoteSvr, 0, sizeof g_remoteSvr);
    g_szRemotePort = nullptr;
    g_gwId = g_cardCfg = g_origLine = g_lineNum = 0;
    g_bUseTcp = 0;
    g_bUseHeaderV0 = 1;
    network_needed = g_bDisplayData = 0;
    g_truncationLen = 0;
    g_bGenerateLocalSeq = g_bIgnoreIcmp = g_bDefaultRcvbuf = 0;
    g_rcvBufSize = 512 * 1024;
    g_minimumDelay = 40;
    g_reconnectTime = 5;
    g_bFloodSimulation = 0;
    g_floodCount = 0;
    g_floodSize = 131;
    g_bFloodDelay = 0;
    g_ifInfo = IfInfo{0, nullptr};
    floodSends = 0;
    g_sockfd = -1;
    std::memset(g_monBuf, 0, sizeof g_monBuf);
    exp_seq_no = 0;
    init_seq_no = 0;
    baseTimeStamp = 0;
    basetv = timeval{};
    g_localSeq = 0;
    bLastTimeKnown = 0;
    std::memset(store, 0, sizeof store);
    store_start_ptr = store_wr_ptr = store;
    store_rd_ptr = nullptr;
    store_size = store_count = 0;
    last_searched = 0;
    init_timestamp = g_bLogStarted = 0;
    g_bMonitorBound = 0;
}

static sockaddr_in loopback(unsigned short port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

static unsigned short boundPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

UdpCollector::UdpCollector()
{
    rx = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a = loopback(0);
    bind(rx, reinterpret_cast<sockaddr *>(&a), sizeof a);
    port = boundPort(rx);
    attach();
}

void UdpCollector::attach()
{
    g_sockfd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(port);
    connect(g_sockfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
}

UdpCollector::~UdpCollector()
{
    close(rx);
}

Bytes UdpCollector::next(int waitMs)
{
    pollfd p{rx, POLLIN, 0};
    if (poll(&p, 1, waitMs) != 1)
        return {};
    Bytes b(70000);
    ssize_t n = recv(rx, b.data(), b.size(), 0);
    b.resize(n > 0 ? (size_t)n : 0);
    return b;
}

std::vector<unsigned> UdpCollector::seqs()
{
    std::vector<unsigned> out;
    for (;;) {
        Bytes b = next(50);
        if (b.empty())
            return out;
        out.push_back(be16(b.data()));
    }
}

TcpListener::TcpListener()
{
    lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    listen(lfd, 4);
    port = boundPort(lfd);
}

TcpListener::~TcpListener()
{
    close(lfd);
}

int TcpListener::connectCollector()
{
    g_bUseTcp = 1;
    g_bDefaultRcvbuf = 1;
    std::strcpy(g_remoteSvr, "127.0.0.1");
    portText = std::to_string(port);
    g_szRemotePort = portText.c_str();
    return connectToRemoteServer();
}

int TcpListener::acceptOne()
{
    pollfd p{lfd, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1)
        return -1;
    return accept(lfd, nullptr, nullptr);
}

Bytes framePattern(uint32_t seq, uint32_t length)
{
    Bytes b(length);
    for (uint32_t i = 0; i < length; i++)
        b[i] = (unsigned char)((seq * 7 + i) & 0xff);
    return b;
}

long putRecord(uint32_t seq, uint32_t length, uint8_t direction, unsigned long stamp)
{
    MonHeader h{direction, seq, stamp, length};
    monrecEncode(monBufRecord(), h);
    Bytes f = framePattern(seq, length);
    if (!f.empty())
        std::memcpy(monBufFrame(), f.data(), f.size());
    return (long)(MONREC_HDR_SIZE + length);
}

void receive(uint32_t seq, uint32_t length)
{
    handleRecord(putRecord(seq, length));
}

uint16_t be16(const unsigned char *p)
{
    return (uint16_t)(p[0] << 8 | p[1]);
}

std::string hexOf(const Bytes &b)
{
    std::string s;
    char buf[4];
    for (unsigned char c : b) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s;
}
