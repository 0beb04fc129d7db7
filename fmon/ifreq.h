// The one place where interface requests are made. Every request checks
// that the interface name fits an ifreq before copying it; a name that does
// not fit fails with ENAMETOOLONG and nothing is sent to the kernel.
#pragma once
#include <net/if.h>
#include <sys/ioctl.h>

// The sync driver's private request that switches monitor mode on and off.
constexpr unsigned long SIOC_MONITOR_MODE = SIOCDEVPRIVATE + 13;
static_assert(SIOC_MONITOR_MODE == 0x89FD);

// Zeroes ifr and copies the name in; -1 (errno ENAMETOOLONG) if it does not fit.
int ifreqInit(struct ifreq *ifr, const char *name);
// Monitor mode on (1) or off (0); the driver's result, 0 on success.
int ifSetMonitorMode(int sock, const char *name, int on);
// SIOCGIFFLAGS; a negative result is a failure.
int ifGetFlags(int sock, const char *name, short *flags);
// SIOCSIFFLAGS; a negative result is a failure.
int ifSetFlags(int sock, const char *name, short flags);
// SIOCGIFINDEX; a negative result is a failure.
int ifGetIndex(int sock, const char *name, int *index);
