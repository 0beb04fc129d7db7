// ISDN User Part messages (ITU-T Q.763) over MTP3, as the MTP2 model sends
// them in its message signal units.
#pragma once
#include <cstdint>

#include "calls.h"

// Message types.
constexpr uint8_t kIsupIam = 0x01; // initial address
constexpr uint8_t kIsupAcm = 0x06; // address complete
constexpr uint8_t kIsupAnm = 0x09; // answer
constexpr uint8_t kIsupRel = 0x0c; // release
constexpr uint8_t kIsupRlc = 0x10; // release complete

// The service information octet of ISUP on a national network.
constexpr uint8_t kSioIsupNational = 0x80 | 0x05;

// Where a signalling point sits on the link.
struct SignallingPoints {
    uint16_t local;  // the point code of the Tx side (14 bits)
    uint16_t remote; // the point code of the Rx side
};

// Appends the MTP3 service information octet, routing label and the ISUP
// message of type `type` for the call, sent from the Tx side when fromTx.
void isupMsu(const SignallingPoints &sp, const Call &c, uint8_t type, bool fromTx, Bytes *out);
