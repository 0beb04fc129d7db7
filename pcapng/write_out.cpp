// Writes that signals can end.
#include "write_out.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

static uint64_t nowNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

// The grace a stop leaves a slow reader: since when, and at which stop.
struct Grace {
    uint64_t sinceNs;  // 0 while no stop was asked for
    sig_atomic_t stops;
};

// Waits until fd takes data; 0 when the wait is given up.
static int waitForRoom(int fd, const WaitPolicy *wait, Grace *g)
{
    for (;;) {
        sig_atomic_t stops = *wait->stops;
        if (stops && !g->sinceNs) {
            g->sinceNs = nowNs();
            g->stops = stops;
        }
        if (g->sinceNs && stops != g->stops)
            return 0;  // asked again
        struct timespec ts, *limit = nullptr;
        if (g->sinceNs) {
            uint64_t now = nowNs(), end = g->sinceNs + kStopGraceNs;
            if (now >= end)
                return 0;
            ts.tv_sec = (time_t)((end - now) / 1000000000u);
            ts.tv_nsec = (long)((end - now) % 1000000000u);
            limit = &ts;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        int r = ppoll(&p, 1, limit, &wait->mask);
        if (r > 0)
            return 1;  // room, or an error the write will tell
        if (r < 0 && errno != EINTR)
            return 1;
    }
}

static WriteResult writeStraight(int fd, const uint8_t *p, size_t n, size_t *done)
{
    while (*done < n) {
        ssize_t k = write(fd, p + *done, n - *done);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            if (k == 0)
                errno = ENOSPC;
            return kWriteFailed;
        }
        *done += (size_t)k;
    }
    return kWriteDone;
}

WriteResult writeOut(int fd, const void *p, size_t n, size_t *done, const WaitPolicy *wait)
{
    const uint8_t *b = (const uint8_t *)p;
    struct stat st;
    if (!wait || !wait->stops || (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)))
        return writeStraight(fd, b, n, done);
    // At most PIPE_BUF bytes per write once there is room: a pipe takes
    // them without blocking.
    Grace g = {0, 0};
    while (*done < n) {
        if (!waitForRoom(fd, wait, &g))
            return kWriteGivenUp;
        size_t want = n - *done < PIPE_BUF ? n - *done : PIPE_BUF;
        ssize_t k = write(fd, b + *done, want);
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0) {
            if (k == 0)
                errno = ENOSPC;
            return kWriteFailed;
        }
        *done += (size_t)k;
        g.sinceNs = 0;  // the reader took data: the grace starts anew
    }
    return kWriteDone;
}
