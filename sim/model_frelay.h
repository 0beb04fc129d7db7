// The Frame Relay model: a router (Tx, the user side) on a Frame Relay
// network (Rx). The router polls the network with Q.933 Annex A STATUS
// ENQUIRY on DLCI 0, every sixth a full status request, and the network
// answers each at once with a STATUS (with the PVC status of every data
// DLCI in a full status); between the polls IPv4/UDP datagrams (RFC 2427
// encapsulation) go between the central site and the branches, one DLCI
// each: syslog messages from the branches, and echo requests either way,
// each answered.
#pragma once
#include <cstdint>

#include "calls.h"

// An echo request that awaits its response.
struct FrEcho {
    uint8_t branch;     // index of the branch it went to or came from
    bool fromCentral;   // sent by the central site
    uint16_t port;      // the asker's port
    char text[48];      // the payload, echoed back
    uint8_t len;
};

struct FrLink {
    uint8_t userSeq;      // last send sequence number of the router (0 = none yet)
    uint8_t networkSeq;   // last send sequence number of the network
    uint32_t enquiries;   // STATUS ENQUIRY messages sent
    uint32_t sincePoll;   // frames since the last STATUS ENQUIRY
    int16_t owedReport;   // report type of the enquiry to answer; -1 none
    bool echoOwed;        // the echo request just sent awaits its response
    FrEcho echo;          // that request
    uint16_t ipId[2];     // IP identification: central site, branches
    uint32_t syslogSeq;   // numbers of the branches' syslog messages
};

void frelayInit(FrLink *l);
// The next frame; `left` counts the frames still to come, this one
// included, so that every request is answered by the last.
void frelayNext(FrLink *l, Rng *r, uint64_t left, ModelFrame *f);
// Frames still owed: a STATUS or an echo response.
uint64_t frelayOwed(const FrLink &l);
