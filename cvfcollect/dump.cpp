// Dump files.
#include "dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Why an open dump file may not be written: a file with further hard
// links; null when it may.
static const char *refusal(DumpFile *d)
{
    struct stat st;
    if (fstat(d->fd, &st) != 0)
        return strerror(errno);
    d->regular = S_ISREG(st.st_mode);
    return d->regular && st.st_nlink > 1 ? "it has other links" : nullptr;
}

int dumpOpen(DumpFile *d, const char *path, const WaitPolicy *wait)
{
    *d = {-1, path, wait, nullptr, 0, 0, 0, 0};
    d->buf = (uint8_t *)malloc(kDumpBufLen);
    // Non-blocking: a FIFO without a reader fails at once.
    d->fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    const char *why = d->fd < 0 ? (errno == ELOOP   ? "it is a symbolic link"
                                   : errno == ENXIO ? "no reader"
                                                    : strerror(errno))
                      : !d->buf ? strerror(ENOMEM)
                                : refusal(d);
    if (why) {
        fprintf(stderr, "cvfcollect: cannot create %s: %s\n", path, why);
        if (d->fd >= 0)
            close(d->fd);
        d->fd = -1;
        free(d->buf);
        d->buf = nullptr;
        return 0;
    }
    return 1;
}

static void reportFailure(DumpFile *d, const char *why)
{
    fprintf(stderr, "cvfcollect: write to %s failed: %s\n", d->path, why);
    d->failed = 1;
}

// Cuts off what a regular file held before this run, once.
static void empty(DumpFile *d)
{
    if (d->emptied || !d->regular)
        return;
    d->emptied = 1;
    if (ftruncate(d->fd, 0) != 0)
        reportFailure(d, strerror(errno));
}

static void dumpFlush(DumpFile *d)
{
    empty(d);
    size_t at = 0;
    if (!d->failed && d->used) {
        WriteResult r = writeOut(d->fd, d->buf, d->used, &at, d->wait);
        if (r != kWriteDone)
            reportFailure(d, r == kWriteGivenUp ? "its reader takes nothing" : strerror(errno));
    }
    d->used = 0;
}

void dumpWrite(DumpFile *d, const void *p, size_t n)
{
    if (d->fd < 0 || d->failed)
        return;
    const uint8_t *src = (const uint8_t *)p;
    while (n) {
        if (d->used == kDumpBufLen)
            dumpFlush(d);
        size_t k = kDumpBufLen - d->used;
        if (k > n)
            k = n;
        memcpy(d->buf + d->used, src, k);
        d->used += k;
        src += k;
        n -= k;
    }
}

int dumpClose(DumpFile *d)
{
    if (d->fd < 0)
        return 1;
    dumpFlush(d);
    if (close(d->fd) != 0 && !d->failed)
        reportFailure(d, strerror(errno));
    d->fd = -1;
    free(d->buf);
    d->buf = nullptr;
    return !d->failed;
}
