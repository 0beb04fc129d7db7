// Sync ports as TUN devices, and their state files.
#include "sync_port.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

void simError(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("cvsim: ", stderr);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

bool checkPortName(const char *name)
{
    size_t n = strlen(name);
    if (n == 0 || n >= IFNAMSIZ) {
        simError("invalid port name \"%s\": 1 to %d characters\n", name, IFNAMSIZ - 1);
        return false;
    }
    if (strpbrk(name, "/: \t\n") || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
        simError("invalid port name \"%s\"\n", name);
        return false;
    }
    return true;
}

// Fills an interface request with the port's name (checked to fit).
static void ifrFor(struct ifreq *ifr, const char *name)
{
    memset(ifr, 0, sizeof *ifr);
    strncpy(ifr->ifr_name, name, IFNAMSIZ - 1);
}

// The one place where interface requests are made.
static int ifRequest(unsigned long req, struct ifreq *ifr)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int r = ioctl(s, req, ifr);
    int saved = errno;
    close(s);
    errno = saved;
    return r;
}

// Opens the TUN control device and attaches it to the named port.
static int tunOpen(const char *name)
{
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        simError("%s: cannot open /dev/net/tun: %s\n", name, strerror(errno));
        return -1;
    }
    struct ifreq ifr;
    ifrFor(&ifr, name);
    ifr.ifr_flags = IFF_TUN; // with packet information: the record's protocol
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        simError("%s: cannot attach the port: %s\n", name, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Sets or clears the persistence of the port; WHAT names the change in the message.
static bool tunSetPersist(const char *name, int on, const char *what)
{
    int fd = tunOpen(name);
    if (fd < 0)
        return false;
    bool ok = ioctl(fd, TUNSETPERSIST, on) == 0;
    if (!ok)
        simError("%s: cannot %s: %s\n", name, what, strerror(errno));
    close(fd);
    return ok;
}

bool portCreate(const char *name, bool up)
{
    if (!checkPortName(name))
        return false;
    if (if_nametoindex(name) != 0) {
        simError("%s: an interface of that name exists already\n", name);
        return false;
    }
    if (!tunSetPersist(name, 1, "make the port persistent"))
        return false;
    return !up || portSetUp(name, true);
}

bool portDelete(const char *name)
{
    return checkPortName(name) && tunSetPersist(name, 0, "remove the port");
}

bool portSetUp(const char *name, bool up)
{
    struct ifreq ifr;
    ifrFor(&ifr, name);
    if (ifRequest(SIOCGIFFLAGS, &ifr) < 0) {
        simError("%s: cannot read the interface flags: %s\n", name, strerror(errno));
        return false;
    }
    if (up)
        ifr.ifr_flags |= IFF_UP;
    else
        ifr.ifr_flags &= ~IFF_UP;
    if (ifRequest(SIOCSIFFLAGS, &ifr) < 0) {
        simError("%s: cannot bring the interface %s: %s\n", name, up ? "up" : "down",
                 strerror(errno));
        return false;
    }
    return true;
}

int portIsUp(const char *name)
{
    struct ifreq ifr;
    ifrFor(&ifr, name);
    if (ifRequest(SIOCGIFFLAGS, &ifr) < 0)
        return -1;
    return (ifr.ifr_flags & IFF_UP) ? 1 : 0;
}

int portAttach(const char *name)
{
    if (!checkPortName(name))
        return -1;
    if (if_nametoindex(name) == 0) {
        simError("%s: no such port\n", name);
        return -1;
    }
    return tunOpen(name);
}

unsigned long long portRxDropped(const char *name)
{
    // /proc/net/dev belongs to the reader's network namespace (sysfs need not).
    FILE *f = fopen("/proc/net/dev", "r");
    if (!f)
        return 0;
    char line[512];
    unsigned long long v = 0;
    size_t n = strlen(name);
    while (fgets(line, sizeof line, f)) {
        const char *p = line + strspn(line, " ");
        unsigned long long bytes, packets, errs, drop;
        if (strncmp(p, name, n) == 0 && p[n] == ':' &&
            sscanf(p + n + 1, "%llu %llu %llu %llu", &bytes, &packets, &errs, &drop) == 4) {
            v = drop;
            break;
        }
    }
    fclose(f);
    return v;
}

static bool makeDir(const char *path)
{
    if (mkdir(path, 0755) == 0 || errno == EEXIST)
        return true;
    simError("cannot create %s: %s\n", path, strerror(errno));
    return false;
}

bool simDirPrepare(const char *dir)
{
    static const char *const kSubdirs[] = {"", "/sync", "/tolvi", "/sys", "/sys/class",
                                           "/sys/class/cvtolvi", "/proc"};
    char path[4096];
    for (const char *sub : kSubdirs) {
        snprintf(path, sizeof path, "%s%s", dir, sub);
        if (!makeDir(path))
            return false;
    }
    return true;
}

static void statePath(char *buf, size_t size, const char *dir, const char *port, const char *suffix)
{
    snprintf(buf, size, "%s/sync/%s%s", dir, port, suffix);
}

bool monitorStateInit(const char *dir, const char *port)
{
    char path[4096];
    statePath(path, sizeof path, dir, port, ".monitor");
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST)
            return true;
        simError("%s: cannot create %s: %s\n", port, path, strerror(errno));
        return false;
    }
    bool ok = write(fd, "0", 1) == 1;
    close(fd);
    return ok;
}

void monitorStateRemove(const char *dir, const char *port)
{
    static const char *const kSuffixes[] = {".monitor", ".refuse", ".refuse-off"};
    char path[4096];
    for (const char *suffix : kSuffixes) {
        statePath(path, sizeof path, dir, port, suffix);
        unlink(path);
    }
}

int monitorState(const char *dir, const char *port)
{
    char path[4096];
    statePath(path, sizeof path, dir, port, ".monitor");
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char c = 0;
    ssize_t n = pread(fd, &c, 1, 0);
    close(fd);
    if (n != 1)
        return -1;
    return c == '1' ? 1 : 0;
}

bool inInitialNetns()
{
    struct stat self, init;
    if (stat("/proc/self/ns/net", &self) < 0 || stat("/proc/1/ns/net", &init) < 0)
        return false;
    return self.st_ino == init.st_ino && self.st_dev == init.st_dev;
}
