// simprobe: acts on a sync port as the monitor does, in this build's word
// size, for the end-to-end tests.
//   simprobe monitor PORT 0|1     the monitor-mode request; prints "ok" or
//                                 the errno name and exits 1
//   simprobe recv PORT MS         binds a raw socket as the monitor does and
//                                 prints each datagram in hex, one per line,
//                                 until MS milliseconds pass without one
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static int monitor(const char *port, int value)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, port, IFNAMSIZ - 1);
    ifr.ifr_data = reinterpret_cast<char *>(&value);
    int r = ioctl(s, SIOCDEVPRIVATE + 13, &ifr);
    if (r != 0) {
        printf("%s\n", strerrorname_np(errno));
        return 1;
    }
    printf("ok\n");
    return 0;
}

static int receive(const char *port, int quietMs)
{
    int s = socket(AF_PACKET, SOCK_RAW, htons(0x6005));
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, port, IFNAMSIZ - 1);
    if (s < 0 || ioctl(s, SIOCGIFINDEX, &ifr) < 0) {
        perror(port);
        return 1;
    }
    struct sockaddr_ll sll;
    memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_ifindex = ifr.ifr_ifindex;
    sll.sll_hatype = 518;
    int size = 8 << 20;
    // Beyond rmem_max (we are root): the probe must not drop what it tests.
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (bind(s, reinterpret_cast<struct sockaddr *>(&sll), 20) < 0) {
        perror("bind");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0); // every line out before a SIGTERM
    printf("ready\n");
    static unsigned char buf[65536];
    struct pollfd p = {s, POLLIN, 0};
    while (poll(&p, 1, quietMs) > 0) {
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n < 0) {
            printf("error %s\n", strerrorname_np(errno));
            continue;
        }
        for (ssize_t i = 0; i < n; i++)
            printf("%02x", buf[i]);
        printf("\n");
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 && !strcmp(argv[1], "monitor"))
        return monitor(argv[2], atoi(argv[3]));
    if (argc == 4 && !strcmp(argv[1], "recv"))
        return receive(argv[2], atoi(argv[3]));
    fprintf(stderr, "usage: simprobe monitor PORT 0|1 | recv PORT MS\n");
    return 2;
}
