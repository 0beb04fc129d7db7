// The MTP2 signalling link model.
#include "model_mtp2.h"

#include "record.h"

namespace {

// Status field values of link status signal units.
constexpr uint8_t kStatusO = 0;  // out of alignment
constexpr uint8_t kStatusN = 1;  // normal alignment
constexpr uint8_t kStatusE = 2;  // emergency alignment
constexpr uint8_t kStatusOS = 3; // out of service

// Alignment: each status sent this many times by each side in turn.
struct AlignStep {
    uint8_t status;
    uint8_t repeats;
};
constexpr AlignStep kAlignment[] = {{kStatusOS, 1}, {kStatusO, 2}, {kStatusN, 8}};
constexpr uint32_t alignmentUnits()
{
    uint32_t n = 0;
    for (const AlignStep &s : kAlignment)
        n += 2 * s.repeats;
    return n;
}
constexpr uint32_t kAlignmentUnits = alignmentUnits();

// An ISUP call from the IAM to the RLC.
constexpr CallStep kIsupCall[] = {
    {kIsupIam, Party::Caller},  {kIsupAcm, Party::Callee}, {kIsupAnm, Party::Callee},
    {kIsupRel, Party::Clearer}, {kIsupRlc, Party::Cleared},
};
constexpr size_t kIsupSteps = sizeof kIsupCall / sizeof kIsupCall[0];

constexpr size_t kMaxCalls = 4;      // calls in progress at once, at most
constexpr double kNewCallChance = 0.3; // chance that a message starts a call while others run
constexpr uint8_t kLiMax = 63;       // a longer signal unit has length indicator 63
// Point codes 2-045-1 and 2-046-3 (zone, area, point).
constexpr SignallingPoints kPoints = {2 << 11 | 45 << 3 | 1, 2 << 11 | 46 << 3 | 3};
// Circuits: the side with the higher point code controls the even ones.
constexpr uint16_t kCicLow = 1, kCicHigh = 60;

// The header of a signal unit sent by `from`: backward sequence number and
// indicator acknowledge the other side's last message signal unit.
void putHeader(const Mtp2Side &from, const Mtp2Side &other, uint8_t li, Bytes *b)
{
    put8(b, uint8_t(other.fib << 7 | other.fsn));
    put8(b, uint8_t(from.fib << 7 | from.fsn));
    put8(b, li);
}

void lssu(Mtp2Link *l, ModelFrame *f)
{
    uint32_t n = l->lssus++;
    bool tx = n % 2 == 0;
    uint32_t round = n / 2;
    uint8_t status = kStatusN;
    for (const AlignStep &s : kAlignment) {
        if (round < s.repeats) {
            status = s.status;
            break;
        }
        round -= s.repeats;
    }
    if (status == kStatusN && l->emergency)
        status = kStatusE;
    f->direction = tx ? kDirTx : kDirRx;
    putHeader(tx ? l->tx : l->rx, tx ? l->rx : l->tx, 1, &f->bytes);
    put8(&f->bytes, status);
}

void fisu(Mtp2Link *l, Rng *r, ModelFrame *f)
{
    bool tx = rngUnit(r) < 0.5;
    f->direction = tx ? kDirTx : kDirRx;
    putHeader(tx ? l->tx : l->rx, tx ? l->rx : l->tx, 0, &f->bytes);
}

// Sends the next message of call i; a call whose last message went is done.
void msu(Mtp2Link *l, size_t i, ModelFrame *f)
{
    Call &c = l->calls[i];
    const CallStep &step = kIsupCall[c.step++];
    bool tx = stepFromTx(c, step.from);
    Mtp2Side &from = tx ? l->tx : l->rx;
    from.fsn = uint8_t((from.fsn + 1) & 0x7f);
    Bytes sif;
    isupMsu(l->sp, c, step.message, tx, &sif);
    f->direction = tx ? kDirTx : kDirRx;
    putHeader(from, tx ? l->rx : l->tx, uint8_t(sif.size() < kLiMax ? sif.size() : kLiMax), &f->bytes);
    putBytes(&f->bytes, sif.data(), sif.size());
    if (c.step == kIsupSteps)
        l->calls.erase(l->calls.begin() + long(i));
}

// Starts a call from a random side on a circuit that side controls; false
// when it has none free.
bool startCall(Mtp2Link *l, Rng *r)
{
    bool callerTx = rngUnit(r) < 0.5;
    bool callerHigher = (callerTx ? l->sp.local : l->sp.remote) > (callerTx ? l->sp.remote : l->sp.local);
    uint16_t first = callerHigher ? kCicLow + 1 : kCicLow;
    uint16_t cic = freeValue(r, l->calls, first, kCicHigh, 2, false);
    if (cic == 0)
        return false;
    l->calls.push_back(drawCall(r, callerTx, cic, uint8_t(cic)));
    return true;
}

} // namespace

void mtp2Init(Mtp2Link *l, double fisuRatio, Rng *r)
{
    l->fisuRatio = fisuRatio;
    l->lssus = 0;
    l->emergency = rngUnit(r) < 0.25;
    l->sp = kPoints;
    l->tx = l->rx = Mtp2Side{0x7f, 1};
    l->calls.clear();
}

uint64_t mtp2Owed(const Mtp2Link &l)
{
    uint64_t n = 0;
    for (const Call &c : l.calls)
        n += kIsupSteps - c.step;
    return n;
}

void mtp2Next(Mtp2Link *l, Rng *r, uint64_t left, ModelFrame *f)
{
    f->bytes.clear();
    if (l->lssus < kAlignmentUnits) {
        lssu(l, f);
        return;
    }
    uint64_t owed = mtp2Owed(*l);
    bool mustSend = owed > 0 && owed >= left;
    bool canStart = l->calls.size() < kMaxCalls && owed + kIsupSteps <= left;
    double ratio = l->fisuRatio;
    if (!mustSend && ((l->calls.empty() && !canStart) || rngUnit(r) * (1 + ratio) < ratio)) {
        fisu(l, r, f);
        return;
    }
    if (canStart && !mustSend && (l->calls.empty() || rngUnit(r) < kNewCallChance) && startCall(l, r)) {
        msu(l, l->calls.size() - 1, f);
        return;
    }
    if (l->calls.empty()) {
        fisu(l, r, f);
        return;
    }
    msu(l, rngBelow(r, uint32_t(l->calls.size())), f);
}
