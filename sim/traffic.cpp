// The synthetic traffic generator.
#include "traffic.h"

#include "record.h"

constexpr size_t kMaxHeld = 4096; // records held back at one time, at most

TrafficOptions trafficDefaults()
{
    TrafficOptions o = {};
    o.count = 1000;
    o.sizeMin = o.sizeMax = 64;
    o.reorderDepth = 3;
    o.txRatio = 0.5;
    o.seed = 1;
    o.model = ModelOptions{TrafficModel::Random, kDefaultFisuRatio};
    return o;
}

uint64_t rngNext(Rng *r)
{
    uint64_t z = (r->state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

double rngUnit(Rng *r)
{
    return double(rngNext(r) >> 11) * (1.0 / 9007199254740992.0);
}

const uint8_t *framePool()
{
    static uint8_t pool[kFramePoolSpan + kMaxFrame];
    static bool filled = false;
    if (!filled) {
        Rng r = {0x436f7276616e65ull};
        for (size_t i = 0; i < sizeof pool; i += 8) {
            uint64_t v = rngNext(&r);
            for (size_t j = 0; j < 8 && i + j < sizeof pool; j++)
                pool[i + j] = uint8_t(v >> (8 * j));
        }
        filled = true;
    }
    return pool;
}

size_t poolOffsetFor(uint32_t seq)
{
    return size_t((seq * 2654435761u) % kFramePoolSpan);
}

void synthInit(SynthState *s, const TrafficOptions &opt)
{
    s->opt = opt;
    if (s->opt.sizeMax < s->opt.sizeMin)
        s->opt.sizeMax = s->opt.sizeMin;
    if (s->opt.reorderDepth == 0)
        s->opt.reorderDepth = 1;
    s->rng.state = opt.seed;
    s->ready.clear();
    s->readyHead = 0;
    s->held.clear();
    s->heldKey.clear();
    s->counts = SynthCounts{};
    modelInit(&s->model, opt.model, opt.seed);
    framePool();
}

static SynthRecord makeRecord(SynthState *s, uint32_t seq, uint64_t nowMs)
{
    SynthRecord r;
    r.seq = seq;
    r.direction = rngUnit(&s->rng) < s->opt.txRatio ? kDirTx : kDirRx;
    r.timeStamp = s->opt.startTs + nowMs;
    uint32_t span = s->opt.sizeMax - s->opt.sizeMin;
    r.length = s->opt.sizeMin + (span ? uint32_t(rngNext(&s->rng) % (uint64_t(span) + 1)) : 0);
    r.poolOffset = poolOffsetFor(seq);
    return r;
}

// A record of a protocol model: the frame and its direction come from the
// model, whether the line then delivers it or not.
static SynthRecord modelRecord(uint32_t seq, uint64_t nowMs, uint64_t startTs, ModelFrame *f)
{
    SynthRecord r;
    r.seq = seq;
    r.direction = f->direction;
    r.timeStamp = startTs + nowMs;
    r.length = uint32_t(f->bytes.size());
    r.poolOffset = 0;
    r.frame.swap(f->bytes);
    return r;
}

// Moves every held record due by draw n to the ready queue, in order of
// due draw and then of sequence; a duplicate follows its original.
static void releaseDue(SynthState *s, uint64_t n)
{
    for (;;) {
        size_t best = s->held.size();
        for (size_t i = 0; i < s->held.size(); i++)
            if (s->heldKey[i] <= n && (best == s->held.size() || s->heldKey[i] < s->heldKey[best]))
                best = i; // held is in sequence order, so the first of equal keys wins
        if (best == s->held.size())
            return;
        SynthRecord r = s->held[best];
        s->held.erase(s->held.begin() + long(best));
        s->heldKey.erase(s->heldKey.begin() + long(best));
        s->ready.push_back(r);
        if (rngUnit(&s->rng) < s->opt.dup) {
            s->ready.push_back(r);
            s->counts.duplicated++;
        }
    }
}

bool synthNext(SynthState *s, uint64_t nowMs, SynthRecord *out)
{
    for (;;) {
        if (s->readyHead < s->ready.size()) {
            *out = s->ready[s->readyHead++];
            if (s->readyHead == s->ready.size()) {
                s->ready.clear();
                s->readyHead = 0;
            }
            return true;
        }
        if (s->counts.generated == s->opt.count) {
            if (s->held.empty())
                return false;
            releaseDue(s, UINT64_MAX);
            continue;
        }
        uint64_t n = s->counts.generated++;
        uint32_t seq = uint32_t(s->opt.startSeq + n);
        ModelFrame frame = {};
        bool modelled = s->opt.model.kind != TrafficModel::Random;
        if (modelled)
            modelNext(&s->model, s->opt.count - n, &frame);
        if (rngUnit(&s->rng) < s->opt.loss) {
            s->counts.lost++;
        } else {
            uint64_t key = n;
            if (rngUnit(&s->rng) < s->opt.reorder && s->held.size() < kMaxHeld) {
                key = n + 1 + rngNext(&s->rng) % s->opt.reorderDepth;
                s->counts.reordered++;
            }
            s->held.push_back(modelled ? modelRecord(seq, nowMs, s->opt.startTs, &frame)
                                       : makeRecord(s, seq, nowMs));
            s->heldKey.push_back(key);
        }
        releaseDue(s, n);
    }
}
