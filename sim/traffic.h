// Synthetic traffic: a run of records with consecutive sequence numbers,
// optionally with losses, duplicates and reordering, reproducible from a seed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model.h"
#include "rng.h"

// Settings of the synthetic generator.
struct TrafficOptions {
    uint64_t count;       // sequence numbers to generate
    double rate;          // records per second; 0 = as fast as possible
    uint32_t sizeMin;     // smallest frame
    uint32_t sizeMax;     // largest frame
    double reorder;       // probability that a record is held back
    uint32_t reorderDepth; // a held record comes out 1..depth places late
    double loss;          // probability that a sequence number is never sent
    double dup;           // probability that a record is sent twice
    double txRatio;       // probability that a record is a transmitted frame
    uint32_t startSeq;    // first sequence number
    uint64_t startTs;     // time stamp of the first record, in milliseconds
    uint64_t seed;        // seed of the generator
    ModelOptions model;   // what the frames are
};

// Defaults: 1000 records of 64 random bytes, flat out, in order, half Tx.
TrafficOptions trafficDefaults();

// One synthetic record; its frame bytes are those of a protocol model in
// frame, or else framePool()[poolOffset ..].
struct SynthRecord {
    uint32_t seq;
    uint8_t direction;
    uint64_t timeStamp;
    uint32_t length;
    size_t poolOffset;
    Bytes frame;
};

// The record's frame bytes.
inline const uint8_t *synthFrame(const SynthRecord &r, const uint8_t *pool)
{
    return r.frame.empty() ? pool + r.poolOffset : r.frame.data();
}

// Counts of what the generator did to the sequence.
struct SynthCounts {
    uint64_t generated;  // sequence numbers drawn
    uint64_t lost;       // sequence numbers never sent
    uint64_t duplicated; // extra copies sent
    uint64_t reordered;  // records held back
};

struct SynthState {
    TrafficOptions opt;
    Rng rng;                          // draws of loss, reorder, size, direction
    std::vector<SynthRecord> ready;   // records due out, oldest first
    size_t readyHead;                 // next record of ready to hand out
    std::vector<SynthRecord> held;    // records not yet due out
    std::vector<uint64_t> heldKey;    // the draw at which each held record is due
    SynthCounts counts;
    ModelState model;                 // the protocol model, unless random
};

void synthInit(SynthState *s, const TrafficOptions &opt);
// Hands out the next record; nowMs is the time since the start of the play,
// which gives a new record its time stamp. False when all have gone.
bool synthNext(SynthState *s, uint64_t nowMs, SynthRecord *out);

// The pool that synthetic frames are cut from: the same for every seed, so
// that a record's bytes depend only on its sequence number and length.
const uint8_t *framePool();
constexpr size_t kFramePoolSpan = 65536; // distinct start offsets in the pool
// Where the frame of a sequence number starts in the pool.
size_t poolOffsetFor(uint32_t seq);
