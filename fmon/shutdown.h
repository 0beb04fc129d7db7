// The exit handler and the SIGTERM/SIGINT handling.
#pragma once
#include <csignal>

extern volatile sig_atomic_t g_termSignal; // signal received, 0 while none
extern int g_inCleanup;                    // 1 while the exit handler runs

// Records the signal; the main flow acts on it (checkTermination).
void signal_terminate(int sig);
// Installs signal_terminate for SIGTERM and SIGINT, without SA_RESTART, so
// that a blocking call returns at once. Exits with status 4 on failure.
void installSignalHandlers();
// Installs cleanup with atexit. Exits with status 4 on failure.
void installExitHandler();
// When a signal has been received: the message, a pause of about one
// second, then exit with status 2 through the exit handler.
void checkTermination();
// The exit handler: leaves monitor mode, takes the records still queued in
// the monitor socket, reports the kernel's drops, lowers an interface that
// the program raised, forwards the records still held in the reorder store,
// closes the collector socket, reports a flood.
void cleanup();
// Time elapsed from start to end, borrowing from the seconds.
struct timeval tvDiff(const struct timeval &end, const struct timeval &start);
