// The MTP2 model: a signalling link between two signalling points. It
// aligns (link status signal units: out of service, out of alignment, then
// normal or emergency alignment through the proving period), then sends
// fill-in signal units between message signal units that carry ISUP calls,
// several at once, each set up and cleared (IAM, ACM, ANM, REL, RLC).
//
// The frames are signal units as the driver delivers them: without flags
// and without the check bits.
#pragma once
#include <cstdint>
#include <vector>

#include "calls.h"
#include "isup.h"

// What one side of the link last sent.
struct Mtp2Side {
    uint8_t fsn; // forward sequence number of its last message signal unit
    uint8_t fib; // forward indicator bit
};

struct Mtp2Link {
    double fisuRatio;      // fill-in signal units per message signal unit
    uint32_t lssus;        // link status signal units sent so far
    bool emergency;        // aligned with emergency proving
    SignallingPoints sp;   // the point codes of the two sides
    Mtp2Side tx, rx;       // the two sides
    std::vector<Call> calls; // calls in progress
};

void mtp2Init(Mtp2Link *l, double fisuRatio, Rng *r);
// The next signal unit; `left` counts the frames still to come, this one
// included, so that every call started is cleared by the last.
void mtp2Next(Mtp2Link *l, Rng *r, uint64_t left, ModelFrame *f);
// Messages still owed by the calls in progress.
uint64_t mtp2Owed(const Mtp2Link &l);
