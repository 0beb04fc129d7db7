// Simulated Tolvi USB driver, as seen through the preload library: the
// control request on any socket, and the driver's class directory and
// version file, all backed by files of the simulator directory.
#include "preload_hooks.h"
#include "tolvi_flash.h"
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/stat.h>

static const char classPrefix[] = "/sys/class/cvtolvi";
static const char versionPath[] = "/proc/cvtolvi";

// The simulator directory, or null when the simulator is off.
static const char *simDir()
{
    const char *dir = getenv("CVSIM_DIR");
    return dir && *dir ? dir : nullptr;
}

static int fail(int *ret, int err)
{
    *ret = -1;
    errno = err;
    return 1;
}

extern "C" int cvsim_tolvi_ioctl(int fd, unsigned long request, void *arg,
                                 int *ret)
{
    if (request != kTolviIoctl)
        return 0;
    const char *dir = simDir();
    if (!dir)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return fail(ret, EBADF);
    if (!S_ISSOCK(st.st_mode))
        return fail(ret, ENOTTY);
    if (!arg)
        return fail(ret, EFAULT);
    struct ifreq ifr;
    memcpy(&ifr, arg, sizeof ifr);
    char name[IFNAMSIZ];
    memcpy(name, ifr.ifr_name, IFNAMSIZ);
    name[IFNAMSIZ - 1] = '\0';
    unsigned char *req = (unsigned char *)ifr.ifr_data;
    if (!req)
        return fail(ret, EFAULT);
    int err = tolviHandleRequest(dir, name, req);
    if (err != 0)
        return fail(ret, err);
    *ret = 0;
    return 1;
}

// 1 when some component of PATH is "..": such a path could leave the
// driver's directory, so it is left to the real file system.
static int climbs(const char *path)
{
    for (const char *p = path; (p = strstr(p, "..")) != nullptr; p += 2)
        if ((p == path || p[-1] == '/') && (p[2] == '\0' || p[2] == '/'))
            return 1;
    return 0;
}

static int mapInto(const char *dir, const char *rel, char *buf,
                   std::size_t size)
{
    size_t dlen = strlen(dir), rlen = strlen(rel);
    if (dlen + rlen + 1 > size)
        return 0;
    memcpy(buf, dir, dlen);
    memcpy(buf + dlen, rel, rlen + 1);
    return 1;
}

extern "C" int cvsim_tolvi_path(const char *path, char *buf, std::size_t size)
{
    if (!path)
        return 0;
    // The driver's paths are told apart first: most opens are not theirs.
    size_t n = sizeof classPrefix - 1;
    int driver = (strncmp(path, classPrefix, n) == 0 &&
                  (path[n] == '\0' || path[n] == '/')) ||
                 strcmp(path, versionPath) == 0;
    const char *dir = driver && !climbs(path) ? simDir() : nullptr;
    return dir ? mapInto(dir, path, buf, size) : 0;
}
