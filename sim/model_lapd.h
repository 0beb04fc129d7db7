// The LAPD model: the D channel of an ISDN primary rate interface, seen
// from the user side (Tx) facing the network (Rx). The user sets up
// multiple frame operation (SABME, UA), then both sides send Q.931 call
// control in I frames, several calls at once, each set up and cleared
// (SETUP, CALL PROCEEDING, ALERTING, CONNECT, CONNECT ACKNOWLEDGE,
// DISCONNECT, RELEASE, RELEASE COMPLETE). Every I frame is acknowledged
// by the next frame, an RR response or an I frame of the other side; an
// idle link is polled with RR commands.
#pragma once
#include <cstdint>
#include <vector>

#include "calls.h"

// The state variables of one side.
struct LapdSide {
    uint8_t vs; // send state variable V(S): N(S) of its next I frame
    uint8_t vr; // receive state variable V(R): N(S) it expects next
};

// A side of the link: the user sends Tx, the network Rx.
enum class LapdParty : int8_t { None = -1, Network = 0, User = 1 };

struct LapdLink {
    uint8_t phase;           // 0: SABME next, 1: UA next, 2: multiple frame operation
    LapdSide user, network;
    LapdParty owesAck;       // the side that has an I frame to acknowledge
    LapdParty owesPoll;      // the side that has a poll to answer
    std::vector<Call> calls; // calls in progress
};

void lapdInit(LapdLink *l);
// The next frame; `left` counts the frames still to come, this one
// included, so that every call started is cleared and every I frame
// acknowledged by the last.
void lapdNext(LapdLink *l, Rng *r, uint64_t left, ModelFrame *f);
// Frames still owed: two per message of the calls in progress (the I frame
// and its acknowledgement), one per acknowledgement or poll answer due.
uint64_t lapdOwed(const LapdLink &l);
