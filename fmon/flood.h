// Flood mode: synthetic records sent to the collector as a load generator.
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/time.h>

// The report of refused writes: the first of a run of refusals is reported;
// a whole write 11 or more numbers after the last refusal re-arms it.
struct FloodRefusals {
    int reported;        // a refusal has been reported and not yet re-armed
    uint16_t lastSeq;    // sequence number of the last refused write
};

// Size of a flood record with the header version in force.
std::size_t floodRecordSize();
// Builds the synthetic record in g_monBuf for sequence number seq and time
// t; returns its first byte.
unsigned char *floodBuildRecord(uint16_t seq, const struct timeval &t);
// Outcomes of one write, for the refusal report.
void floodWholeWrite(FloodRefusals *r, uint16_t seq);
// Returns 1 when this refusal must be reported.
int floodRefused(FloodRefusals *r, uint16_t seq);
void floodOtherError(FloodRefusals *r);

// Flood mode. Never returns.
[[noreturn]] void runFlood();
