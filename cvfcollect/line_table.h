// Statistics per gateway and line, with the sequence accounting.
//
// The monitor numbers its records with 16 bits (the low bits of the
// driver's sequence, or a local counter), so the accounting works modulo
// 2^16. For each (gateway, line), with next the number after the highest
// one received so far:
//   d = (seq - next) mod 2^16
//   d = 0            in order.
//   d in 1..32767    a gap: the d numbers next..seq-1 are counted lost.
//   d in 32768..     a number behind the highest: b = (next - seq) mod 2^16
//                    (1..32768) places back.
//     b <= 4096 and the number was counted lost: it arrived late; it is
//                    counted out-of-order and taken off the lost count.
//     b <= 4096 and it was received before: a duplicate.
//     b <= 4096 and it lies before the first record of the line: counted
//                    out-of-order (it was never counted lost).
//     b > 4096       the sender has started over (a restarted monitor):
//                    counted as a restart, and the accounting begins afresh
//                    from this record. Lost counts so far are kept.
// So lost is the count of numbers, between the first record of a line and
// the highest received, that never arrived (late arrivals more than 4096
// numbers back, which are taken as restarts, aside). Numbers missing after
// the last record received are not counted: nothing shows they were sent.
#pragma once
#include <cstddef>
#include <cstdint>

#include "record.h"

constexpr unsigned kSeqWindow = 4096;  // numbers behind the highest still told apart
static_assert(65536 % kSeqWindow == 0, "the window must divide the sequence space");
constexpr unsigned kLineSlots = 65536; // one slot per (gwId, lineNum)

struct SeqState {
    int started;                        // 1 once a record was taken
    uint16_t next;                      // number after the highest received
    uint64_t span;                      // numbers from the first record to the highest
    uint64_t missing[kSeqWindow / 64];  // bit n % window: number n counted lost
};

struct SeqCounts {
    uint64_t lost;
    uint64_t duplicates;
    uint64_t outOfOrder;
    uint64_t restarts;
};

enum SeqVerdict { kSeqFirst, kSeqInOrder, kSeqGap, kSeqLate, kSeqEarlier, kSeqDuplicate, kSeqRestart };

// Accounts one sequence number; the rule is described above.
SeqVerdict seqAccount(SeqState *st, SeqCounts *c, uint16_t seq);

// Recent rates of a line: one bucket per second of arrival (monotonic
// clock) for the last kRateSecs seconds, in a ring indexed by second.
constexpr unsigned kRateSecs = 300;

struct RateBucket {
    uint32_t records;  // valid records that arrived in that second
    uint32_t lost;     // sequence numbers they showed missing (held at UINT32_MAX)
};

struct LineRates {
    uint64_t newestSec;               // second of the newest bucket
    RateBucket ring[kRateSecs];       // second s in ring[s % kRateSecs]
};

// What the alarms (alarms.h) have said of a line.
struct LineAlarm {
    bool silentReported;     // its silence was reported; its end will be
    uint64_t lossReportedNs; // when frames lost were last reported (0: never)
};

struct LineStats {
    uint8_t gwId;
    uint8_t lineNum;
    uint64_t records;
    uint64_t bytes;       // whole records: header + frame
    uint64_t frameBytes;
    uint64_t frameBytesTx; // of them in transmitted frames
    uint64_t tx;
    uint64_t rx;
    uint64_t invalid;     // refused records whose header named this line
    SeqCounts seq;
    SeqState seqState;
    uint16_t firstSeq, lastSeq;
    uint64_t firstSecs, lastSecs;  // record time stamps
    uint16_t firstMs, lastMs;
    uint64_t firstNs, lastNs;      // arrival, monotonic clock
    uint64_t lastLossNs;           // arrival of the last record that showed numbers missing
    LineRates rates;
    LineAlarm alarm;
};
// Memory per line is fixed: the sequence window (512 bytes), the rate
// ring (2,400 bytes) and the counters, about 3.1 KiB; a full table of
// 65,536 lines holds about 200 MiB, plus 512 KiB (256 KiB in the 32-bit
// build) of slot pointers.
static_assert(sizeof(LineStats) <= 3200, "a line's memory is bounded");

// What the publisher of --nats did with the valid records.
struct NatsTotals {
    int publishing;        // 1 with --nats: the summary and the metrics show these
    uint64_t published;    // acknowledged by the stream (stored, or already held)
    uint64_t duplicates;   // of those, ones the stream already held (same message id)
    uint64_t unpublished;  // never stored: the backlog was full, or unacknowledged at the end
    uint64_t backlog;      // held now, not yet acknowledged
    uint64_t resent;       // publishes repeated after a failure or a missing acknowledgement
    int reading;           // 1 with --from-nats: the summary shows redelivered
    uint64_t redelivered;  // records the stream delivered again that were written already: skipped
};

struct Totals {
    uint64_t records;
    uint64_t invalid;
    uint64_t invalidBy[kRecCheckCount];
    uint64_t tcpConnections;
    uint64_t syncLosses;
    uint64_t tcpStalled;   // connections closed for sitting inside a record too long
    uint64_t tcpEvicted;   // idle connections closed to make room for a new one
    uint64_t firstNs, lastNs;  // first and last valid record, monotonic clock
    NatsTotals nats;
};

// The one place that knows a line's state: the summary, the JSON, the
// capture's drop counts and the statistics blocks read it.
struct LineTable {
    LineStats **slots;     // kLineSlots entries by lineKey; a line is made at its first record
    unsigned count;        // lines made
    Totals totals;         // counts over all lines and connections
};

inline unsigned lineKey(unsigned gw, unsigned line) { return gw << 8 | line; }

// Makes an empty table; 0 when there is no memory for its slots.
int lineTableOpen(LineTable *t);
// Frees every line and the slots.
void lineTableClose(LineTable *t);
// The line of gateway gw, line number line; null before its first record.
inline const LineStats *lineFind(const LineTable &t, unsigned gw, unsigned line)
{
    return t.slots[lineKey(gw, line)];
}

// Accounts one valid record that arrived at nowNs and returns how many
// sequence numbers of its line it shows missing (the rise of the line's
// lost count). When no memory is left for a new line the record is counted
// in the totals only.
uint64_t lineTableRecord(LineTable *t, const CvRecord &rec, uint64_t nowNs);
// Accounts one refused record. When its bytes name a line already known,
// that line's invalid count goes up too.
void lineTableInvalid(LineTable *t, RecordCheck why, const uint8_t *p, size_t len, int version);
// Sums of all lines (lost, duplicates, ... as in LineStats).
LineStats lineTableSum(const LineTable &t);

// 1 when line ls, having carried records, has carried none for silentNs
// up to nowNs (never with silentNs 0).
inline bool lineSilent(const LineStats &ls, uint64_t nowNs, uint64_t silentNs)
{
    return silentNs && ls.records && nowNs - ls.lastNs >= silentNs;
}

// Adds to the bucket of second sec (newer seconds clear the buckets they
// pass; a second that has left the ring is dropped).
void ratesAdd(LineRates *r, uint64_t sec, uint64_t records, uint64_t lost);
// The records and the frames lost of the secs seconds up to and with
// lastSec (those the ring still holds).
void ratesSum(const LineRates &r, uint64_t lastSec, unsigned secs, uint64_t *records,
              uint64_t *lost);
// The buckets of the seconds from sinceSec (or the oldest one the ring
// still holds) to nowSec, oldest first, into out; seconds without records
// read as zero. Returns how many, with the second of out[0] in *firstSec.
unsigned ratesSince(const LineRates &r, uint64_t sinceSec, uint64_t nowSec,
                    RateBucket out[kRateSecs], uint64_t *firstSec);
