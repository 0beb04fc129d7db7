// What the protocol models share: the frame a model hands out, and the calls
// that signalling models set up and clear, several at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rng.h"
#include "wire.h"

// One frame of a model and the side of the line that sent it.
struct ModelFrame {
    uint8_t direction; // kDirTx or kDirRx
    Bytes bytes;       // the frame as the driver delivers it (no flags, no FCS)
};

// Who sends a step of a call.
enum class Party : uint8_t {
    Caller,  // the side that set the call up
    Callee,  // the side that answered it
    Clearer, // the side that hangs up first
    Cleared, // the other one
};

// One message of a call, in the order the call goes through them.
struct CallStep {
    uint8_t message; // the protocol's message type
    Party from;
};

constexpr size_t kMaxDigits = 15; // digits of a number (E.164)

// A call in progress.
struct Call {
    uint8_t step;                  // the next step of the call's script
    bool callerTx;                 // the caller is on the Tx side
    bool callerClears;             // the caller hangs up first
    uint16_t ref;                  // circuit (CIC) or call reference
    uint8_t channel;               // the B channel or time slot it uses
    char called[kMaxDigits + 1];   // digits dialled
    char calling[kMaxDigits + 1];  // digits of the caller
};

// True when the step's sender is on the Tx side.
bool stepFromTx(const Call &c, Party from);

// A call with its numbers drawn: national numbers of nine digits under a
// few area codes.
Call drawCall(Rng *r, bool callerTx, uint16_t ref, uint8_t channel);

// Picks a free value in [lo, hi] stepping by step, not used as `ref` (or as
// `channel` when byChannel) by any call; 0 when all are taken.
uint16_t freeValue(Rng *r, const std::vector<Call> &calls, uint16_t lo, uint16_t hi, uint16_t step,
                   bool byChannel);
