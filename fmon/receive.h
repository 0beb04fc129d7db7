// Monitor mode: interface set-up and the receive loop.
#pragma once
#include <sys/time.h>

constexpr int ETH_P_DIAG_PROTO = 0x6005; // protocol of the monitor records

extern int init_timestamp;          // 1 once the first record has arrived
extern struct timeval init_tv;      // when the first record arrived (monotonic)
extern int g_bLogStarted;           // 1 once the time-stamp base is set
extern unsigned long g_discarded;   // malformed records discarded so far
extern int g_bMonitorBound;         // 1 while g_ifInfo.sock is the monitor socket
                                    // bound to the port

long elapsedMilliSecs(const struct timeval *later, const struct timeval *earlier);

// Handles one record of n bytes received into g_monBuf.
void handleRecord(long n);
// Work of a quiet select period: close the initial window when due, report
// discarded records not yet reported and, once a second, the kernel's drops.
void onIdle();
// At the end of a run, with monitor mode off: the records that the monitor
// socket still holds are handled as usual for 300 ms, then only counted until
// it is empty or 500 ms have passed; records not forwarded are reported.
void takeQueuedRecords();
// At the end of a run: the kernel's drop count is read a last time, an
// increase reported as in the run, and the total, if any.
void reportKernelDropsAtExit();
// Sets the port up for monitoring; ends through error_exit on failure.
void monitorSetup();
// Monitor mode: set-up, then the receive loop. Never returns.
[[noreturn]] void runMonitor();
