// The stream source of --from-nats: records read from a JetStream stream
// through a pull consumer (durable with --durable), each handed on with
// its stream sequence number, acknowledged once the loop has written it.
//
// The stream delivers at least once: a record whose acknowledgement was
// lost, or which a reader killed before acknowledging had written, comes
// again. The source hands on each sequence number once: it skips those at
// or below the consumer's acknowledgement floor (every one of them was
// written) and those it has handed on, or found in the capture files at
// start, above it.
//
// What runs where: the fetch waits on the loop's thread; the client's own
// threads read the connection and hand the fetched messages over inside
// the library. Nothing of the source runs on them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "capture.h"

struct Options;
struct NatsSource;

// One message of the stream.
// A message of the stream holds one record or several of one line, back
// to back as received; each is known by its place (recordKey, capture.h).
struct StreamRecord {
    const uint8_t *data;  // the record as published: header and frame
    size_t len;
    int version;          // its header version
    uint64_t key;         // recordKey of its place in the stream
};

// Takes one record; 0 when the loop takes no more (a stop condition).
typedef int (*TakeStreamRecord)(void *ctx, const StreamRecord &r);

// Connects and makes the consumer, and reads which records the capture
// files of o hold (their "nats-seq=N" or "nats-seq=N/I" packet comments): with --durable
// those above the consumer's acknowledgement floor, without it everything
// up to the highest one. Those are acknowledged without being taken.
// Reports and returns null on failure.
NatsSource *natsSourceOpen(const Options &o);
// Fetches a batch, waiting up to waitMs for the first message, and hands
// each record to take until it says no more (at the end of a message);
// the messages it did not take are refused (negatively acknowledged), for
// the stream to deliver them again before later ones. Returns how many
// records it handed on.
int natsSourceFetch(NatsSource *s, int waitMs, TakeStreamRecord take, void *ctx);
// Acknowledges every record fetched so far: they are written.
void natsSourceAck(NatsSource *s);
// Records the stream delivered again that were written already: skipped.
uint64_t natsSourceAgain(const NatsSource *s);
// Closes without acknowledging what was not: the stream delivers it again.
void natsSourceClose(NatsSource *s);
