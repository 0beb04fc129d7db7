// The capture file of -w: every valid record as one packet of a pcapng
// file, in arrival order, with an interface per gateway and line. The
// capture reports how its writes went; the receive loop decides what
// follows (--exit-on-write-error).
#pragma once
#include <cstdint>

#include "write_out.h"
#include "net.h"
#include "record.h"
#include "pcapng.h"

struct Options;

struct Capture {
    PcapWriter w;
    int capturing;        // 1 once the capture was started
    char descr[3][128];   // if_description of records from UDP, TCP and the stream
    const char *failNote; // what follows a failure, appended to its report
    uint64_t writeErrors; // failures reported: each took the capture down
};

// 1 when -w names standard output.
int captureToStdout(const Options &o);
// Opens the capture of -w (nothing without it: 1); 0 when it cannot start.
// The writer's notices are reported on standard error after each call.
// Writes to a slow reader wait as wait says.
int captureOpen(Capture *c, const Options &o, const Listeners &l, const WaitPolicy *wait,
                uint64_t nowNs);
// Adds one valid record that arrived over TCP (viaTcp 1) or UDP; missed:
// the sequence numbers of its line that it shows missing (its drop count).
// This and the calls below return 0 once a capture write has failed.
// The place of a record read from a stream: the message's stream sequence
// number in the upper bits, the record's index in the message in the
// lower kKeyIndexBits.
constexpr unsigned kKeyIndexBits = 16;
inline uint64_t recordKey(uint64_t seq, unsigned index) { return seq << kKeyIndexBits | index; }

// streamSeq: the key of the record's place in the stream it was read from
// (--from-nats): the message's stream sequence N in its upper bits, the
// record's index I in the message in its lower 16, kept as the packet
// comment "nats-seq=N" (the first record of a message) or "nats-seq=N/I";
// 0 for none.
int captureRecord(Capture *c, const CvRecord &rec, uint64_t missed, int via, uint64_t streamSeq,
                  uint64_t nowNs);
// Writes out what is gathered, before the receive loop waits.
int captureFlush(Capture *c);
// SIGHUP: starts a new capture file at once (see pcapReopen); a notice
// with verbose.
int captureReopen(Capture *c, uint64_t nowNs, int verbose);
// Flushes and closes; 0 when a capture write failed during the run.
int captureClose(Capture *c);
