// ISUP message encoder.
#include "isup.h"

#include <string.h>

namespace {

// Parameter codes.
constexpr uint8_t kParamEndOfOptional = 0x00;
constexpr uint8_t kParamCallingNumber = 0x0a;

// Fixed mandatory parameters of the messages sent.
constexpr uint8_t kNatureOfConnection = 0x00;        // no satellite, no continuity check
constexpr uint8_t kForwardCall[2] = {0x20, 0x01};    // ISUP all the way, ISDN origin
constexpr uint8_t kCallingCategory = 0x0a;           // ordinary subscriber
constexpr uint8_t kMediumSpeech = 0x00;              // transmission medium: speech
constexpr uint8_t kBackwardCall[2] = {0x16, 0x14};   // charge, subscriber free, ISUP all the way
constexpr uint8_t kNatureNational = 0x03;            // nature of address: national number
constexpr uint8_t kPlanIsdn = 0x10;                  // numbering plan E.164
constexpr uint8_t kScreenedByNetwork = 0x03;         // calling number screened by the network
constexpr uint8_t kCauseNormalClearing = 16;
constexpr uint8_t kLocationLocalNetwork = 0x02; // the network serving the one who hung up

// Digits as address signals: two to an octet, the first in the low half,
// with the odd/even indicator in the first octet of the parameter.
void putNumber(Bytes *b, const char *digits, uint8_t secondOctet)
{
    size_t n = strlen(digits);
    put8(b, uint8_t(1 + 1 + (n + 1) / 2));
    put8(b, uint8_t((n % 2 ? 0x80 : 0x00) | kNatureNational));
    put8(b, secondOctet);
    for (size_t i = 0; i < n; i += 2) {
        uint8_t lo = uint8_t(digits[i] - '0');
        uint8_t hi = i + 1 < n ? uint8_t(digits[i + 1] - '0') : 0;
        put8(b, uint8_t(hi << 4 | lo));
    }
}

// IAM: fixed part, the called number as the one mandatory variable
// parameter, and the calling number in the optional part.
void putIam(Bytes *b, const Call &c)
{
    put8(b, kNatureOfConnection);
    putBytes(b, kForwardCall, sizeof kForwardCall);
    put8(b, kCallingCategory);
    put8(b, kMediumSpeech);
    size_t pointers = b->size();
    put8(b, 2); // the called number follows the two pointers
    put8(b, 0); // set below
    putNumber(b, c.called, kPlanIsdn);
    (*b)[pointers + 1] = uint8_t(b->size() - (pointers + 1));
    put8(b, kParamCallingNumber);
    putNumber(b, c.calling, kPlanIsdn | kScreenedByNetwork);
    put8(b, kParamEndOfOptional);
}

// REL: the cause as the one mandatory variable parameter, no optional part.
void putRel(Bytes *b)
{
    put8(b, 2); // pointer to the cause
    put8(b, 0); // no optional part
    put8(b, 2);
    put8(b, uint8_t(0x80 | kLocationLocalNetwork));
    put8(b, uint8_t(0x80 | kCauseNormalClearing));
}

} // namespace

void isupMsu(const SignallingPoints &sp, const Call &c, uint8_t type, bool fromTx, Bytes *out)
{
    uint16_t opc = fromTx ? sp.local : sp.remote;
    uint16_t dpc = fromTx ? sp.remote : sp.local;
    put8(out, kSioIsupNational);
    // Routing label: DPC in the low 14 bits, then OPC, then the link
    // selection, sent least significant octet first.
    uint8_t sls = uint8_t(c.ref & 0x0f);
    putLe32(out, uint32_t(dpc & 0x3fff) | uint32_t(opc & 0x3fff) << 14 | uint32_t(sls) << 28);
    putLe16(out, uint16_t(c.ref & 0x0fff));
    put8(out, type);
    switch (type) {
    case kIsupIam:
        putIam(out, c);
        break;
    case kIsupAcm:
        putBytes(out, kBackwardCall, sizeof kBackwardCall);
        put8(out, 0); // no optional part
        break;
    case kIsupRel:
        putRel(out);
        break;
    default: // ANM, RLC: only the pointer to an absent optional part
        put8(out, 0);
        break;
    }
}
