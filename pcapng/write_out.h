// Writes to files that may block (a FIFO, a pipe, a device), which a stop
// asked for by a signal can still end.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

// How a write to a reader that may be slow waits: under mask, and how a
// stop ends the wait. stops points at a count that a signal handler
// raises at each stop asked for.
struct WaitPolicy {
    const volatile sig_atomic_t *stops;
    sigset_t mask;  // the signal mask while waiting
};

// Once a stop was asked for, a write waits this long at most for a reader
// that takes nothing.
constexpr uint64_t kStopGraceNs = 2000000000u;

enum WriteResult {
    kWriteDone,     // every byte written
    kWriteFailed,   // a write failed: errno tells why
    kWriteGivenUp,  // a stop was asked for while the reader took nothing
};

// Writes n bytes of p to fd, adding what went out to *done. A regular file
// is written straight on. Anything else may make the writer wait (a pipe
// whose reader is slow, a descriptor opened non-blocking): the wait is
// under wait's mask, and given up once a stop was asked for and the
// reader took nothing for kStopGraceNs, or at a further stop. Without a
// policy the writes simply block.
WriteResult writeOut(int fd, const void *p, size_t n, size_t *done, const WaitPolicy *wait);
