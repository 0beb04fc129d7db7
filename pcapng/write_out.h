// The signals the collector acts on, and writes to files that may block
// (a FIFO, a pipe, a device) which those signals can still end.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

// What the signal handler has asked for, as counts the handler raises, and
// the signal mask under which the collector waits for them.
struct SignalState {
    volatile sig_atomic_t stops;    // SIGINT and SIGTERM: end, with the summary
    volatile sig_atomic_t reports;  // SIGUSR1: print the summary so far
    volatile sig_atomic_t reopens;  // SIGHUP: start a new capture file
    sigset_t waitMask;              // the mask while waiting: the four let through
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
// under sig's wait mask, and given up once a stop was asked for and the
// reader took nothing for kStopGraceNs, or at a further stop. Without sig
// the writes simply block.
WriteResult writeOut(int fd, const void *p, size_t n, size_t *done, const SignalState *sig);
