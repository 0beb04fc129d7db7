// The receive loop: takes records from the sockets, hands each one to the
// line table, the capture, the dumps and the record lines, and stops when
// asked or when a stop condition is met.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "alarms.h"
#include "capture.h"
#include "dump.h"
#include "line_table.h"
#include "net.h"
#include "options.h"
#include "record.h"
#include "write_out.h"

// The signal counts acted on so far (see installSignals).
struct SignalsSeen {
    sig_atomic_t reports;  // SIGUSR1: print the summary so far
    sig_atomic_t reopens;  // SIGHUP: start a new capture file
};

struct HttpServer;
struct Publisher;
struct NatsSource;

// Where a record came from: the capture's interface description says it.
enum RecordVia { kViaUdp, kViaTcp, kViaStream };

// Everything one run of the collector holds.
struct Collector {
    Options opt;
    Listeners net;
    UdpBatch *udp;         // the datagrams of the last batch
    ConnTable conns;
    LineTable lines;
    Capture capture;
    DumpFile dump;         // --dump: every valid record
    DumpFile dumpInvalid;  // --dump-invalid: every refused record
    WaitPolicy wait;       // writes to a slow reader: the wait mask, and the stop count
    SignalsSeen seen;
    int stop;              // 1 once a stop condition was met
    Alarms alarms;         // silent lines and loss rates on standard error
    HttpServer *http;      // --http: served from the loop; null without
    Publisher *pub;        // --nats: every valid record to the stream; null without
    NatsSource *src;       // --from-nats: the records come from the stream; null without
    uint64_t startNs;      // when the run began: monotonic clock
    uint64_t startWallNs;  // and the same moment on the wall clock (since 1970)
};

// Monotonic clock in nanoseconds.
uint64_t monoNs(void);
// Wall clock in nanoseconds since 1970.
uint64_t wallNs(void);

// Makes the state for a run with options o: the line table, the UDP batch
// (with -u) and the connection table (with -t); reports and returns 0 when
// there is no memory or no room for the connections. Nothing is listening
// yet.
int collectorOpen(Collector *c, const Options &o);
// Closes the connections and the sockets and frees what collectorOpen made.
void collectorClose(Collector *c);

// One valid record (raw: its bytes as received) that came by way via;
// streamSeq: the key of its place in the stream it was read from (stream
// sequence and index in the message, see recordKey), 0 for
// none.
void takeRecord(Collector *c, const CvRecord &rec, const uint8_t *raw, RecordVia via,
                uint64_t streamSeq, uint64_t nowNs);
// One refused record; from names the sender for the notice.
void takeInvalid(Collector *c, const char *from, RecordCheck why, const uint8_t *p, size_t len,
                 int version);
// Decodes, checks and takes one datagram.
void takeDatagram(Collector *c, const uint8_t *p, size_t len, const struct sockaddr_storage *from,
                  uint64_t nowNs);
// Takes every whole record buffered on a connection. Returns 0 when the
// connection is to be dropped (lost sync, or its record limit reached).
int takeStream(Collector *c, Conn *conn, uint64_t nowNs);

// Blocks SIGINT, SIGTERM, SIGUSR1 and SIGHUP outside the waits and
// installs their handler (SIGHUP stays ignored when it was at start); sets
// c's wait policy to the mask it waits under and the stop count.
void installSignals(Collector *c);
// 1 once SIGINT or SIGTERM arrived.
int stopAsked(const Collector &c);
// Prints the summary where the summary at the end goes.
void printSummaryNow(const Collector &c);
// Runs until a stop signal or a stop condition, serving TCP connections;
// SIGUSR1 prints the summary so far, SIGHUP starts a new capture file.
void runCollector(Collector *c);
