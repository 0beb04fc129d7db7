// Q.931 call control messages, as the LAPD model carries them in I frames,
// and the Q.933 Annex A link integrity messages of the Frame Relay model.
#pragma once
#include <cstddef>
#include <cstdint>

#include "calls.h"

// Q.931 message types.
constexpr uint8_t kQ931Alerting = 0x01;
constexpr uint8_t kQ931CallProceeding = 0x02;
constexpr uint8_t kQ931Setup = 0x05;
constexpr uint8_t kQ931Connect = 0x07;
constexpr uint8_t kQ931ConnectAck = 0x0f;
constexpr uint8_t kQ931Disconnect = 0x45;
constexpr uint8_t kQ931Release = 0x4d;
constexpr uint8_t kQ931ReleaseComplete = 0x5a;

// Appends the Q.931 message of type `type` for the call on a primary rate
// interface (two-octet call reference), sent by the caller's side when
// fromCaller, by the network side when fromNetwork. The call's channel is
// an E1 time slot, 1 to 30.
void q931Message(const Call &c, uint8_t type, bool fromCaller, bool fromNetwork, Bytes *out);

// Q.933 Annex A message types and report types.
constexpr uint8_t kQ933StatusEnquiry = 0x75;
constexpr uint8_t kQ933Status = 0x7d;
constexpr uint8_t kReportFullStatus = 0x00;
constexpr uint8_t kReportLinkIntegrity = 0x01;

// Appends a STATUS ENQUIRY or STATUS (with the dummy call reference): the
// report type, the link integrity verification sequence numbers and, in a
// full STATUS, one PVC status per DLCI (all active).
void q933Message(uint8_t type, uint8_t report, uint8_t sendSeq, uint8_t recvSeq, const uint16_t *dlcis,
                 size_t n, Bytes *out);
