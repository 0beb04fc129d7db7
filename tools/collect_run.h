// The receive loop: takes records from the sockets, hands each one to the
// statistics, the dump and the record lines, and stops when asked.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "collect_net.h"
#include "collect_record.h"

extern volatile sig_atomic_t g_stopSignal;  // SIGINT or SIGTERM once received
extern int g_bStop;                         // 1 once a stop condition was met

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

// Blocks SIGINT and SIGTERM outside the wait and installs their handler.
void installSignals(void);
// Runs until a signal or a stop condition, serving TCP connections in t.
void runCollector(ConnTable *t);
