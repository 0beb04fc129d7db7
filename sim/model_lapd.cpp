// The LAPD model of an ISDN D channel.
#include "model_lapd.h"

#include "q931.h"
#include "record.h"

namespace {

constexpr uint8_t kSapiCallControl = 0;
constexpr uint8_t kTei = 0; // point-to-point, as on a primary rate interface

// Control fields (extended mode, modulo 128).
constexpr uint8_t kSabmeP = 0x7f; // SABME, P = 1
constexpr uint8_t kUaF = 0x73;    // UA, F = 1
constexpr uint8_t kRr = 0x01;     // RR, then N(R) and P/F

// A Q.931 call, from the SETUP to the RELEASE COMPLETE.
constexpr CallStep kQ931Call[] = {
    {kQ931Setup, Party::Caller},       {kQ931CallProceeding, Party::Callee},
    {kQ931Alerting, Party::Callee},    {kQ931Connect, Party::Callee},
    {kQ931ConnectAck, Party::Caller},  {kQ931Disconnect, Party::Clearer},
    {kQ931Release, Party::Cleared},    {kQ931ReleaseComplete, Party::Clearer},
};
constexpr size_t kQ931Steps = sizeof kQ931Call / sizeof kQ931Call[0];

constexpr size_t kMaxCalls = 4;        // calls in progress at once, at most
constexpr double kNewCallChance = 0.3; // chance that a message starts a call while others run
constexpr double kPollChance = 0.05;   // chance of a poll where a message could go
constexpr double kPiggybackChance = 0.5; // chance that an acknowledgement rides on an I frame
constexpr uint16_t kRefHigh = 0x7fff;  // call reference values 1 to this
constexpr uint16_t kSlots = 30;        // B channels: E1 time slots

LapdParty other(LapdParty p)
{
    return p == LapdParty::User ? LapdParty::Network : LapdParty::User;
}

// The address field; the C/R bit is 0 in commands from the user and
// responses from the network, 1 otherwise.
void putAddress(Bytes *b, LapdParty from, bool command)
{
    bool cr = (from == LapdParty::Network) == command;
    put8(b, uint8_t(kSapiCallControl << 2 | (cr ? 0x02 : 0)));
    put8(b, uint8_t(kTei << 1 | 0x01));
}

LapdSide &sideOf(LapdLink *l, LapdParty p)
{
    return p == LapdParty::User ? l->user : l->network;
}

void begin(ModelFrame *f, LapdParty from, bool command)
{
    f->direction = from == LapdParty::User ? kDirTx : kDirRx;
    putAddress(&f->bytes, from, command);
}

void rr(LapdLink *l, LapdParty from, bool command, bool pf, ModelFrame *f)
{
    begin(f, from, command);
    put8(&f->bytes, kRr);
    put8(&f->bytes, uint8_t(sideOf(l, from).vr << 1 | (pf ? 1 : 0)));
}

// Sends the next message of call i in an I frame; a call whose last message
// went is done.
void iFrame(LapdLink *l, size_t i, ModelFrame *f)
{
    Call &c = l->calls[i];
    const CallStep &step = kQ931Call[c.step++];
    bool tx = stepFromTx(c, step.from);
    LapdParty from = tx ? LapdParty::User : LapdParty::Network;
    LapdSide &s = sideOf(l, from);
    begin(f, from, true);
    put8(&f->bytes, uint8_t(s.vs << 1));
    put8(&f->bytes, uint8_t(s.vr << 1));
    s.vs = uint8_t((s.vs + 1) & 0x7f);
    LapdSide &o = sideOf(l, other(from));
    o.vr = uint8_t((o.vr + 1) & 0x7f);
    q931Message(c, step.message, tx == c.callerTx, !tx, &f->bytes);
    l->owesAck = other(from);
    if (c.step == kQ931Steps)
        l->calls.erase(l->calls.begin() + long(i));
}

// A call with a message due from p, picked at random; -1 when none.
long callDueFrom(const LapdLink &l, Rng *r, LapdParty p)
{
    std::vector<size_t> due;
    for (size_t i = 0; i < l.calls.size(); i++) {
        const Call &c = l.calls[i];
        if (stepFromTx(c, kQ931Call[c.step].from) == (p == LapdParty::User))
            due.push_back(i);
    }
    return due.empty() ? -1 : long(due[rngBelow(r, uint32_t(due.size()))]);
}

bool startCall(LapdLink *l, Rng *r)
{
    uint16_t ref = freeValue(r, l->calls, 1, kRefHigh, 1, false);
    uint16_t slot = freeValue(r, l->calls, 1, kSlots, 1, true);
    if (ref == 0 || slot == 0)
        return false;
    l->calls.push_back(drawCall(r, rngUnit(r) < 0.5, ref, uint8_t(slot)));
    return true;
}

// The side that owes an acknowledgement sends it, on an I frame of its own
// now and then.
void acknowledge(LapdLink *l, Rng *r, ModelFrame *f)
{
    LapdParty p = l->owesAck;
    long i = callDueFrom(*l, r, p);
    l->owesAck = LapdParty::None;
    if (i >= 0 && rngUnit(r) < kPiggybackChance)
        iFrame(l, size_t(i), f);
    else
        rr(l, p, false, false, f);
}

} // namespace

void lapdInit(LapdLink *l)
{
    l->phase = 0;
    l->user = l->network = LapdSide{0, 0};
    l->owesAck = l->owesPoll = LapdParty::None;
    l->calls.clear();
}

uint64_t lapdOwed(const LapdLink &l)
{
    uint64_t n = (l.owesAck != LapdParty::None) + (l.owesPoll != LapdParty::None);
    for (const Call &c : l.calls)
        n += 2 * (kQ931Steps - c.step);
    return n;
}

void lapdNext(LapdLink *l, Rng *r, uint64_t left, ModelFrame *f)
{
    f->bytes.clear();
    if (l->phase < 2) {
        bool sabme = l->phase++ == 0;
        begin(f, sabme ? LapdParty::User : LapdParty::Network, sabme);
        put8(&f->bytes, sabme ? kSabmeP : kUaF);
        return;
    }
    if (l->owesPoll != LapdParty::None) {
        rr(l, l->owesPoll, false, true, f);
        l->owesPoll = LapdParty::None;
        return;
    }
    if (l->owesAck != LapdParty::None) {
        acknowledge(l, r, f);
        return;
    }
    uint64_t owed = lapdOwed(*l);
    bool mustSend = owed > 0 && owed >= left;
    bool canStart = l->calls.size() < kMaxCalls && owed + 2 * kQ931Steps <= left;
    if (!mustSend && ((l->calls.empty() && !canStart) || rngUnit(r) < kPollChance)) {
        LapdParty p = rngUnit(r) < 0.5 ? LapdParty::User : LapdParty::Network;
        bool poll = owed + 2 <= left;
        rr(l, p, poll, poll, f);
        if (poll)
            l->owesPoll = other(p);
        return;
    }
    if (canStart && !mustSend && (l->calls.empty() || rngUnit(r) < kNewCallChance) && startCall(l, r)) {
        iFrame(l, l->calls.size() - 1, f);
        return;
    }
    if (l->calls.empty())
        rr(l, LapdParty::User, false, false, f);
    else
        iFrame(l, rngBelow(r, uint32_t(l->calls.size())), f);
}
