// Calls shared by the signalling models.
#include "calls.h"

#include <string.h>

namespace {

// Area codes the numbers are drawn under.
constexpr const char *kAreas[] = {"201", "305", "412", "617", "718", "907"};

void drawNumber(Rng *r, char *out)
{
    const char *area = kAreas[rngBelow(r, sizeof kAreas / sizeof kAreas[0])];
    size_t n = strlen(area);
    memcpy(out, area, n);
    out[n++] = char('2' + rngBelow(r, 8)); // an exchange code starts 2-9
    while (n < 9)
        out[n++] = char('0' + rngBelow(r, 10));
    out[n] = '\0';
}

} // namespace

bool stepFromTx(const Call &c, Party from)
{
    bool byCaller = from == Party::Caller || (from == Party::Clearer && c.callerClears) ||
                    (from == Party::Cleared && !c.callerClears);
    return byCaller == c.callerTx;
}

Call drawCall(Rng *r, bool callerTx, uint16_t ref, uint8_t channel)
{
    Call c = {};
    c.callerTx = callerTx;
    c.callerClears = rngUnit(r) < 0.5;
    c.ref = ref;
    c.channel = channel;
    drawNumber(r, c.called);
    drawNumber(r, c.calling);
    return c;
}

uint16_t freeValue(Rng *r, const std::vector<Call> &calls, uint16_t lo, uint16_t hi, uint16_t step,
                   bool byChannel)
{
    uint32_t slots = (uint32_t(hi) - lo) / step + 1;
    uint32_t first = rngBelow(r, slots);
    for (uint32_t i = 0; i < slots; i++) {
        uint16_t v = uint16_t(lo + ((first + i) % slots) * step);
        bool taken = false;
        for (const Call &c : calls)
            taken = taken || (byChannel ? c.channel == v : c.ref == v);
        if (!taken)
            return v;
    }
    return 0;
}
