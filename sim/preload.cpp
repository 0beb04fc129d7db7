// The simulated sync driver's control side, loaded into a process with
// LD_PRELOAD. It answers the monitor-mode request of the sync ports, keeps
// each port's monitor state as a file in the simulator directory (so the
// player in another process sees it), and hands the Tolvi driver's request
// and paths to the Tolvi simulation. Without CVSIM_DIR it does nothing but
// pass every call on.
//
// Written against the C library only: it is loaded into programs of either
// word size and must not bring a C++ runtime of its own.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "preload_hooks.h"

namespace {

constexpr unsigned long kMonitorRequest = SIOCDEVPRIVATE + 13; // monitor mode on/off
static_assert(kMonitorRequest == 0x89FD, "monitor-mode request number");

using IoctlFn = int (*)(int, unsigned long, ...);
using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using Openat2Fn = int (*)(int, const char *, int);
using FopenFn = FILE *(*)(const char *, const char *);

// Looks the next definition of a symbol up once and keeps it.
void *nextSymbol(void **slot, const char *name)
{
    void *fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!fn) {
        fn = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

int realIoctl(int fd, unsigned long req, void *arg)
{
    static void *slot; // the C library's ioctl
    IoctlFn fn = (IoctlFn)nextSymbol(&slot, "ioctl");
    if (!fn) {
        errno = ENOSYS;
        return -1;
    }
    return fn(fd, req, arg);
}

// Opens one of the simulator's own files, bypassing the interposers.
int rawOpen(const char *path, int flags, mode_t mode)
{
    return int(syscall(SYS_openat, AT_FDCWD, path, flags | O_LARGEFILE, mode));
}

// The simulator directory, or nullptr when the simulation is off.
const char *simDir()
{
    const char *d = getenv("CVSIM_DIR");
    return (d && d[0] == '/') ? d : nullptr;
}

// Builds "<dir>/sync/<port><suffix>"; false when it does not fit.
bool portPath(char *buf, size_t size, const char *dir, const char *port, const char *suffix)
{
    int n = snprintf(buf, size, "%s/sync/%s%s", dir, port, suffix);
    return n > 0 && size_t(n) < size;
}

bool fileExists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

struct ErrnoName {
    const char *name;
    int value;
};

constexpr ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},   {"EACCES", EACCES}, {"EBUSY", EBUSY},   {"EIO", EIO},
    {"EINVAL", EINVAL}, {"ENODEV", ENODEV}, {"ENXIO", ENXIO},   {"EAGAIN", EAGAIN},
    {"ENOMEM", ENOMEM}, {"EFAULT", EFAULT}, {"ETIMEDOUT", ETIMEDOUT},
    {"EOPNOTSUPP", EOPNOTSUPP}, {"ENOTTY", ENOTTY}, {"ENETDOWN", ENETDOWN},
};

// The errno a refusal file asks for: a name, a number, or EPERM when empty.
int refusalErrno(const char *path)
{
    char text[32] = "";
    int fd = rawOpen(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        ssize_t n = read(fd, text, sizeof text - 1);
        text[n > 0 ? n : 0] = '\0';
        close(fd);
    }
    size_t len = strcspn(text, " \t\r\n");
    text[len] = '\0';
    if (len == 0)
        return EPERM;
    for (const ErrnoName &e : kErrnoNames)
        if (strcmp(text, e.name) == 0)
            return e.value;
    char *end;
    long v = strtol(text, &end, 10);
    return (*end == '\0' && v > 0 && v < 4096) ? int(v) : EPERM;
}

bool writeMonitorState(const char *path, int on)
{
    int fd = rawOpen(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // One byte, written in place: a reader never sees an empty file.
    bool ok = pwrite(fd, on ? "1" : "0", 1, 0) == 1;
    close(fd);
    return ok;
}

// Copies the port name out of a request, refusing names that are not plain
// interface names.
bool portName(const struct ifreq *ifr, char *name)
{
    size_t n = strnlen(ifr->ifr_name, IFNAMSIZ);
    if (n == 0 || n >= IFNAMSIZ)
        return false;
    memcpy(name, ifr->ifr_name, n);
    name[n] = '\0';
    return strchr(name, '/') == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// The monitor-mode request of a simulated sync port, with the simulation on
// in DIR. Returns 1 when the port is one of ours (result in *ret), 0 to pass
// the request on.
int syncMonitorRequest(const char *dir, int fd, void *arg, int *ret)
{
    if (!arg)
        return 0;
    struct ifreq ifr;
    memcpy(&ifr, arg, sizeof ifr);
    char name[IFNAMSIZ];
    char state[4096], refuse[4096];
    if (!portName(&ifr, name) || !portPath(state, sizeof state, dir, name, ".monitor") ||
        !fileExists(state))
        return 0;
    // The interface itself must exist, as it would for the real driver.
    struct ifreq probe = ifr;
    if (realIoctl(fd, SIOCGIFINDEX, &probe) < 0) {
        *ret = -1;
        return 1;
    }
    const int *valuep = (const int *)ifr.ifr_data;
    if (!valuep) {
        *ret = -1;
        errno = EFAULT;
        return 1;
    }
    int value;
    memcpy(&value, valuep, sizeof value);
    if (value != 0 && value != 1) {
        *ret = -1;
        errno = EINVAL;
        return 1;
    }
    if ((portPath(refuse, sizeof refuse, dir, name, ".refuse") && fileExists(refuse)) ||
        (value == 0 && portPath(refuse, sizeof refuse, dir, name, ".refuse-off") &&
         fileExists(refuse))) {
        *ret = -1;
        errno = refusalErrno(refuse);
        return 1;
    }
    if (!writeMonitorState(state, value)) {
        *ret = -1;
        errno = EIO;
        return 1;
    }
    *ret = 0;
    return 1;
}

// Maps a driver path into the simulator directory when the simulation is on.
const char *mapPath(const char *path, char *buf, size_t size)
{
    if (!path || !simDir())
        return path;
    return cvsim_tolvi_path(path, buf, size) ? buf : path;
}

bool takesMode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

} // namespace

// Calls the next definition of a function (looked up once per call site),
// failing with ENOSYS when there is none.
#define CVSIM_REAL(type, name, fail, ...)                       \
    do {                                                        \
        static void *slot_;                                     \
        type fn_ = (type)nextSymbol(&slot_, name);              \
        if (!fn_) {                                             \
            errno = ENOSYS;                                     \
            return fail;                                        \
        }                                                       \
        return fn_(__VA_ARGS__);                                \
    } while (0)

extern "C" {

int ioctl(int fd, unsigned long request, ...) __THROW
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (const char *dir = simDir()) {
        int ret = 0;
        int saved = errno;
        if (request == kMonitorRequest && syncMonitorRequest(dir, fd, arg, &ret))
            return ret;
        errno = saved;
        if (cvsim_tolvi_ioctl(fd, request, arg, &ret))
            return ret;
        errno = saved;
    }
    return realIoctl(fd, request, arg);
}

#define CVSIM_OPEN_MODE(flags)                      \
    mode_t mode = 0;                                \
    if (takesMode(flags)) {                         \
        va_list ap;                                 \
        va_start(ap, flags);                        \
        mode = va_arg(ap, mode_t);                  \
        va_end(ap);                                 \
    }                                               \
    char mapped[4096];

int open(const char *path, int flags, ...)
{
    CVSIM_OPEN_MODE(flags)
    CVSIM_REAL(OpenFn, "open", -1, mapPath(path, mapped, sizeof mapped), flags, mode);
}

int open64(const char *path, int flags, ...)
{
    CVSIM_OPEN_MODE(flags)
    CVSIM_REAL(OpenFn, "open64", -1, mapPath(path, mapped, sizeof mapped), flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    CVSIM_OPEN_MODE(flags)
    CVSIM_REAL(OpenatFn, "openat", -1, dirfd, mapPath(path, mapped, sizeof mapped), flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    CVSIM_OPEN_MODE(flags)
    CVSIM_REAL(OpenatFn, "openat64", -1, dirfd, mapPath(path, mapped, sizeof mapped), flags, mode);
}

int __open_2(const char *path, int flags)
{
    char mapped[4096];
    CVSIM_REAL(Open2Fn, "__open_2", -1, mapPath(path, mapped, sizeof mapped), flags);
}

int __open64_2(const char *path, int flags)
{
    char mapped[4096];
    CVSIM_REAL(Open2Fn, "__open64_2", -1, mapPath(path, mapped, sizeof mapped), flags);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    char mapped[4096];
    CVSIM_REAL(Openat2Fn, "__openat_2", -1, dirfd, mapPath(path, mapped, sizeof mapped), flags);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    char mapped[4096];
    CVSIM_REAL(Openat2Fn, "__openat64_2", -1, dirfd, mapPath(path, mapped, sizeof mapped), flags);
}

FILE *fopen(const char *path, const char *mode)
{
    char mapped[4096];
    CVSIM_REAL(FopenFn, "fopen", nullptr, mapPath(path, mapped, sizeof mapped), mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    char mapped[4096];
    CVSIM_REAL(FopenFn, "fopen64", nullptr, mapPath(path, mapped, sizeof mapped), mode);
}

} // extern "C"
