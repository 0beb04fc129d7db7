// The collector connection.
#include "connection.h"
#include "forward.h"
#include "shutdown.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

int g_sockfd = -1;
struct timeval connecttv;

void cvt_increaseSocketRxBufferSize(IfInfo *ifi)
{
    int size = g_rcvBufSize;
    if (setsockopt(ifi->sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0)
        error_exit("Problem setting SO_RCVBUF to %u on %s.\n%s\n", (unsigned)g_rcvBufSize,
                   ifi->name, std::strerror(errno));
}

void cvt_showSocketRxBufferSize(IfInfo *ifi)
{
    int size = 0;
    socklen_t len = sizeof size;
    if (getsockopt(ifi->sock, SOL_SOCKET, SO_RCVBUF, &size, &len) < 0)
        error_exit("Problem getting SO_RCVBUF on %s.\n%s\n", ifi->name, std::strerror(errno));
    std::fprintf(stderr, "SO_RCVBUF=%u\n", (unsigned)size);
}

void cvt_showSocketSendBufferSize(int sock)
{
    int size = 0;
    socklen_t len = sizeof size;
    if (getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, &len) < 0)
        error_exit("Problem getting SO_SNDBUF on UDP Socket\n%s\n", std::strerror(errno));
    std::fprintf(stderr, "SO_SNDBUF=%u\n", (unsigned)size);
}

void cvt_increaseUdpSendBufferSize(int sock)
{
    int size = g_rcvBufSize;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) < 0)
        error_exit("Problem setting SO_SNDBUF to %u on UDP socket\n%s\n", (unsigned)g_rcvBufSize,
                   std::strerror(errno));
    // The receive side matters little on the collector socket.
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void closeRemote()
{
    if (g_sockfd > 0)
        close(g_sockfd);
    g_sockfd = -1;
}

int connectToRemoteServer()
{
    f_monotonicNow(&connecttv);
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = g_bUseTcp ? SOCK_STREAM : SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(g_remoteSvr, g_szRemotePort, &hints, &res);
    if (rc != 0) {
        std::printf("getaddrinfo failure %s\n", gai_strerror(rc));
        return 0;
    }
    g_sockfd = socket(res->ai_family, res->ai_socktype, res->ai_protocol);
    if (g_bFloodSimulation)
        cvt_showSocketSendBufferSize(g_sockfd);
    if (!g_bDefaultRcvbuf) {
        cvt_increaseUdpSendBufferSize(g_sockfd);
        if (g_bDisplayData)
            cvt_showSocketSendBufferSize(g_sockfd);
    }
    if (g_bDisplayData)
        std::printf("%s Connection attempt to [%s]\n", g_bUseTcp ? "TCP" : "UDP", g_remoteSvr);
    rc = connect(g_sockfd, res->ai_addr, res->ai_addrlen);
    int err = errno;
    freeaddrinfo(res);
    if (rc == 0)
        return 1;
    checkTermination();
    if (g_bDisplayData)
        std::printf("Connection failed, g_sockfd=%d, errno=%u, %s\n", g_sockfd, (unsigned)err,
                    std::strerror(err));
    errno = err;
    return 0;
}
