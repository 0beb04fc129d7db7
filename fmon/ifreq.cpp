// Interface requests: each kernel request wrapped once.
#include "ifreq.h"
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

int ifreqInit(struct ifreq *ifr, const char *name)
{
    std::memset(ifr, 0, sizeof *ifr);
    std::size_t len = name ? std::strlen(name) : 0;
    if (name == nullptr || len >= sizeof ifr->ifr_name) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(ifr->ifr_name, name, len);
    return 0;
}

int ifSetMonitorMode(int sock, const char *name, int on)
{
    struct ifreq ifr;
    if (ifreqInit(&ifr, name) < 0)
        return -1;
    int value = on;
    ifr.ifr_data = reinterpret_cast<char *>(&value);
    return ioctl(sock, SIOC_MONITOR_MODE, &ifr);
}

int ifGetFlags(int sock, const char *name, short *flags)
{
    struct ifreq ifr;
    if (ifreqInit(&ifr, name) < 0)
        return -1;
    int rc = ioctl(sock, SIOCGIFFLAGS, &ifr);
    if (rc >= 0)
        *flags = ifr.ifr_flags;
    return rc;
}

int ifSetFlags(int sock, const char *name, short flags)
{
    struct ifreq ifr;
    if (ifreqInit(&ifr, name) < 0)
        return -1;
    ifr.ifr_flags = flags;
    return ioctl(sock, SIOCSIFFLAGS, &ifr);
}

int ifGetIndex(int sock, const char *name, int *index)
{
    struct ifreq ifr;
    if (ifreqInit(&ifr, name) < 0)
        return -1;
    int rc = ioctl(sock, SIOCGIFINDEX, &ifr);
    if (rc >= 0)
        *index = ifr.ifr_ifindex;
    return rc;
}
