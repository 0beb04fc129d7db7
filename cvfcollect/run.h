// The receive loop: takes records from the sockets, hands each one to the
// statistics, the dump and the record lines, and stops when asked.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "write_out.h"
#include "net.h"
#include "options.h"
#include "record.h"

extern SignalState g_signals;  // what the signal handler was asked for
extern int g_bStop;            // 1 once a stop condition was met

// Monotonic clock in nanoseconds.
uint64_t monoNs(void);

// One valid record (raw: its bytes as received) that came through via.
void takeRecord(const CvRecord &rec, const uint8_t *raw, const Listener *via, uint64_t nowNs);
// One refused record; from names the sender for the notice.
void takeInvalid(const char *from, RecordCheck why, const uint8_t *p, size_t len, int version);
// Decodes, checks and takes one datagram.
void takeDatagram(const uint8_t *p, size_t len, const struct sockaddr_storage *from,
                  uint64_t nowNs);
// Takes every whole record buffered on a connection. Returns 0 when the
// connection is to be dropped (lost sync, or its record limit reached).
int takeStream(Conn *c, uint64_t nowNs);

// Blocks SIGINT, SIGTERM, SIGUSR1 and SIGHUP outside the waits and
// installs their handler (SIGHUP stays ignored when it was at start).
void installSignals(void);
// Prints the summary where the summary at the end goes.
void printSummaryNow(void);
// Runs until a stop signal or a stop condition, serving TCP connections in
// t; SIGUSR1 prints the summary so far, SIGHUP starts a new capture file.
void runCollector(ConnTable *t);
