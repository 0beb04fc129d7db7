// Dump files.
#include "collect_dump.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

DumpFile g_dump = {-1, nullptr, nullptr, 0, 0};
DumpFile g_dumpInvalid = {-1, nullptr, nullptr, 0, 0};

int dumpOpen(DumpFile *d, const char *path)
{
    d->path = path;
    d->used = 0;
    d->failed = 0;
    d->buf = (uint8_t *)malloc(kDumpBufLen);
    d->fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (d->fd < 0 || !d->buf) {
        fprintf(stderr, "cvfcollect: cannot create %s: %s\n", path, strerror(errno));
        if (d->fd >= 0)
            close(d->fd);
        d->fd = -1;
        free(d->buf);
        d->buf = nullptr;
        return 0;
    }
    return 1;
}

static void dumpFlush(DumpFile *d)
{
    size_t at = 0;
    while (at < d->used && !d->failed) {
        ssize_t n = write(d->fd, d->buf + at, d->used - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "cvfcollect: write to %s failed: %s\n", d->path,
                    n < 0 ? strerror(errno) : "no space");
            d->failed = 1;
            break;
        }
        at += (size_t)n;
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
    if (close(d->fd) != 0 && !d->failed) {
        fprintf(stderr, "cvfcollect: write to %s failed: %s\n", d->path, strerror(errno));
        d->failed = 1;
    }
    d->fd = -1;
    free(d->buf);
    d->buf = nullptr;
    return !d->failed;
}
