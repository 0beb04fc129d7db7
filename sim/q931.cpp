// Q.931 and Q.933 message encoders.
#include "q931.h"

#include <string.h>

namespace {

constexpr uint8_t kDiscriminatorQ931 = 0x08; // the same octet for Q.933

// Information element identifiers.
constexpr uint8_t kIeBearer = 0x04;
constexpr uint8_t kIeCause = 0x08;
constexpr uint8_t kIeChannel = 0x18;
constexpr uint8_t kIeReportType = 0x51;
constexpr uint8_t kIeLinkIntegrity = 0x53;
constexpr uint8_t kIePvcStatus = 0x57;
constexpr uint8_t kIeCalling = 0x6c;
constexpr uint8_t kIeCalled = 0x70;

// Elements a message carries, as bits; they are written in the order of
// their identifiers.
constexpr unsigned kWithBearer = 1, kWithChannel = 2, kWithNumbers = 4, kWithCause = 8;
struct MessageElements {
    uint8_t type;
    unsigned elements;
};
constexpr MessageElements kMessages[] = {
    {kQ931Setup, kWithBearer | kWithChannel | kWithNumbers},
    {kQ931CallProceeding, kWithChannel},
    {kQ931Disconnect, kWithCause},
};

// Speech, circuit mode 64 kbit/s, G.711 A-law.
constexpr uint8_t kBearerSpeech[] = {0x80, 0x90, 0xa3};
// Primary rate interface, exclusive, channel by number in B-channel units.
constexpr uint8_t kChannelPrimary = 0xa9, kChannelByNumber = 0x83;
constexpr uint8_t kCalledUnknownIsdn = 0x81;   // type unknown, plan E.164
constexpr uint8_t kCallingNationalIsdn = 0x21; // national number, plan E.164, octet 3a follows
constexpr uint8_t kCallingAllowedUser = 0x80;  // presentation allowed, user-provided
constexpr uint8_t kCauseUser = 0x80;           // ITU coding, location: the user
constexpr uint8_t kCausePublicLocal = 0x82;    // ITU coding, public network serving the local user
constexpr uint8_t kCauseNormalClearing = 16;
constexpr uint8_t kPvcActive = 0x02;

unsigned elementsOf(uint8_t type)
{
    for (const MessageElements &m : kMessages)
        if (m.type == type)
            return m.elements;
    return 0;
}

void putElement(Bytes *b, uint8_t id, const uint8_t *data, size_t n)
{
    put8(b, id);
    put8(b, uint8_t(n));
    putBytes(b, data, n);
}

void putNumber(Bytes *b, uint8_t id, const uint8_t *head, size_t headLen, const char *digits)
{
    size_t n = strlen(digits);
    put8(b, id);
    put8(b, uint8_t(headLen + n));
    putBytes(b, head, headLen);
    putBytes(b, digits, n); // IA5 characters
}

} // namespace

void q931Message(const Call &c, uint8_t type, bool fromCaller, bool fromNetwork, Bytes *out)
{
    put8(out, kDiscriminatorQ931);
    put8(out, 2); // call reference length
    // The flag bit is set in messages sent by the side that did not
    // allocate the call reference.
    putBe16(out, uint16_t((fromCaller ? 0 : 0x8000) | (c.ref & 0x7fff)));
    put8(out, type);
    unsigned e = elementsOf(type);
    if (e & kWithBearer)
        putElement(out, kIeBearer, kBearerSpeech, sizeof kBearerSpeech);
    if (e & kWithCause) {
        const uint8_t cause[] = {fromNetwork ? kCausePublicLocal : kCauseUser,
                                 uint8_t(0x80 | kCauseNormalClearing)};
        putElement(out, kIeCause, cause, sizeof cause);
    }
    if (e & kWithChannel) {
        // Time slots 1 to 30 of an E1: slot 16 carries the D channel.
        uint8_t number = uint8_t(c.channel < 16 ? c.channel : c.channel + 1);
        const uint8_t chan[] = {kChannelPrimary, kChannelByNumber, uint8_t(0x80 | number)};
        putElement(out, kIeChannel, chan, sizeof chan);
    }
    if (e & kWithNumbers) {
        const uint8_t calling[] = {kCallingNationalIsdn, kCallingAllowedUser};
        putNumber(out, kIeCalling, calling, sizeof calling, c.calling);
        putNumber(out, kIeCalled, &kCalledUnknownIsdn, 1, c.called);
    }
}

void q933Message(uint8_t type, uint8_t report, uint8_t sendSeq, uint8_t recvSeq, const uint16_t *dlcis,
                 size_t n, Bytes *out)
{
    put8(out, kDiscriminatorQ931);
    put8(out, 0); // dummy call reference: length 0
    put8(out, type);
    putElement(out, kIeReportType, &report, 1);
    const uint8_t seqs[] = {sendSeq, recvSeq};
    putElement(out, kIeLinkIntegrity, seqs, sizeof seqs);
    if (type != kQ933Status || report != kReportFullStatus)
        return;
    for (size_t i = 0; i < n; i++) {
        // DLCI: six high bits, then the four low bits with the extension bit.
        const uint8_t pvc[] = {uint8_t(dlcis[i] >> 4 & 0x3f), uint8_t(0x80 | (dlcis[i] & 0x0f) << 3),
                               uint8_t(0x80 | kPvcActive)};
        putElement(out, kIePvcStatus, pvc, sizeof pvc);
    }
}
