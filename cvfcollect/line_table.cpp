// Per-line statistics and sequence accounting.
#include "line_table.h"

#include <cstdlib>
#include <cstring>

static void setBit(SeqState *st, uint16_t n)
{
    unsigned i = n % kSeqWindow;
    st->missing[i / 64] |= (uint64_t)1 << (i % 64);
}

static void clearBit(SeqState *st, uint16_t n)
{
    unsigned i = n % kSeqWindow;
    st->missing[i / 64] &= ~((uint64_t)1 << (i % 64));
}

static int testBit(const SeqState *st, uint16_t n)
{
    unsigned i = n % kSeqWindow;
    return (st->missing[i / 64] >> (i % 64)) & 1;
}

static void seqStart(SeqState *st, uint16_t seq)
{
    st->started = 1;
    st->next = (uint16_t)(seq + 1);
    st->span = 1;
    memset(st->missing, 0, sizeof st->missing);
}

// Moves the highest number forward to seq, d numbers after next.
static void seqAdvance(SeqState *st, uint16_t seq, unsigned d)
{
    if (d >= kSeqWindow) {
        memset(st->missing, 0xff, sizeof st->missing);
    } else {
        for (unsigned k = 0; k < d; k++)
            setBit(st, (uint16_t)(st->next + k));
    }
    clearBit(st, seq);
    st->span += d + 1;
    st->next = (uint16_t)(seq + 1);
}

SeqVerdict seqAccount(SeqState *st, SeqCounts *c, uint16_t seq)
{
    if (!st->started) {
        seqStart(st, seq);
        return kSeqFirst;
    }
    unsigned d = (uint16_t)(seq - st->next);
    if (d < 32768) {
        seqAdvance(st, seq, d);
        c->lost += d;
        return d ? kSeqGap : kSeqInOrder;
    }
    unsigned back = (uint16_t)(st->next - seq);
    if (back > kSeqWindow) {
        c->restarts++;
        seqStart(st, seq);
        return kSeqRestart;
    }
    if (back > st->span) {
        c->outOfOrder++;
        return kSeqEarlier;
    }
    if (testBit(st, seq)) {
        clearBit(st, seq);
        c->lost--;
        c->outOfOrder++;
        return kSeqLate;
    }
    c->duplicates++;
    return kSeqDuplicate;
}

int lineTableOpen(LineTable *t)
{
    *t = {};
    t->slots = (LineStats **)calloc(kLineSlots, sizeof *t->slots);
    return t->slots != nullptr;
}

void lineTableClose(LineTable *t)
{
    if (t->slots)
        for (unsigned k = 0; k < kLineSlots; k++)
            free(t->slots[k]);
    free(t->slots);
    *t = {};
}

static LineStats *lineFor(LineTable *t, const CvRecord &rec)
{
    unsigned key = lineKey(rec.gwId, rec.lineNum);
    LineStats *ls = t->slots[key];
    if (ls)
        return ls;
    ls = (LineStats *)calloc(1, sizeof *ls);
    if (!ls)
        return nullptr;
    ls->gwId = rec.gwId;
    ls->lineNum = rec.lineNum;
    ls->firstSeq = rec.seqNo;
    ls->firstSecs = rec.stampSecs;
    ls->firstMs = rec.stampMsecs;
    t->slots[key] = ls;
    t->count++;
    return ls;
}

uint64_t lineTableRecord(LineTable *t, const CvRecord &rec, uint64_t nowNs)
{
    if (t->totals.records++ == 0)
        t->totals.firstNs = nowNs;
    t->totals.lastNs = nowNs;
    LineStats *ls = lineFor(t, rec);
    if (!ls)
        return 0;
    if (ls->records++ == 0)
        ls->firstNs = nowNs;
    ls->lastNs = nowNs;
    ls->bytes += rec.recordLen;
    ls->frameBytes += rec.frameLen;
    if (rec.txFlag) {
        ls->tx++;
        ls->frameBytesTx += rec.frameLen;
    } else {
        ls->rx++;
    }
    ls->lastSeq = rec.seqNo;
    ls->lastSecs = rec.stampSecs;
    ls->lastMs = rec.stampMsecs;
    uint64_t lostBefore = ls->seq.lost;
    seqAccount(&ls->seqState, &ls->seq, rec.seqNo);
    uint64_t missed = ls->seq.lost > lostBefore ? ls->seq.lost - lostBefore : 0;
    if (missed)
        ls->lastLossNs = nowNs;
    ratesAdd(&ls->rates, nowNs / 1000000000u, 1, missed);
    return missed;
}

void lineTableInvalid(LineTable *t, RecordCheck why, const uint8_t *p, size_t len, int version)
{
    t->totals.invalid++;
    t->totals.invalidBy[why]++;
    size_t off = hdrLen(version) - kHdrLenV0;
    if (len < off + kOffLineNum + 1)
        return;
    LineStats *ls = t->slots[lineKey(p[off + kOffGwId], p[off + kOffLineNum])];
    if (ls)
        ls->invalid++;
}

LineStats lineTableSum(const LineTable &t)
{
    LineStats s = {};
    for (unsigned k = 0; k < kLineSlots; k++) {
        const LineStats *ls = t.slots[k];
        if (!ls)
            continue;
        s.records += ls->records;
        s.bytes += ls->bytes;
        s.frameBytes += ls->frameBytes;
        s.tx += ls->tx;
        s.rx += ls->rx;
        s.seq.lost += ls->seq.lost;
        s.seq.duplicates += ls->seq.duplicates;
        s.seq.outOfOrder += ls->seq.outOfOrder;
        s.seq.restarts += ls->seq.restarts;
    }
    s.invalid = t.totals.invalid;
    s.firstNs = t.totals.firstNs;
    s.lastNs = t.totals.lastNs;
    return s;
}

static uint32_t addHeld(uint32_t a, uint64_t b)
{
    return b >= (uint64_t)(UINT32_MAX - a) ? UINT32_MAX : a + (uint32_t)b;
}

void ratesAdd(LineRates *r, uint64_t sec, uint64_t records, uint64_t lost)
{
    if (sec > r->newestSec) {
        if (sec - r->newestSec >= kRateSecs)
            memset(r->ring, 0, sizeof r->ring);
        else
            for (uint64_t s = r->newestSec + 1; s <= sec; s++)
                r->ring[s % kRateSecs] = {};
        r->newestSec = sec;
    } else if (r->newestSec - sec >= kRateSecs) {
        return;
    }
    RateBucket &b = r->ring[sec % kRateSecs];
    b.records = addHeld(b.records, records);
    b.lost = addHeld(b.lost, lost);
}

void ratesSum(const LineRates &r, uint64_t lastSec, unsigned secs, uint64_t *records,
              uint64_t *lost)
{
    *records = *lost = 0;
    for (unsigned i = 0; i < secs && i < kRateSecs && i <= lastSec; i++) {
        uint64_t s = lastSec - i;
        if (s > r.newestSec || r.newestSec - s >= kRateSecs)
            continue;
        *records += r.ring[s % kRateSecs].records;
        *lost += r.ring[s % kRateSecs].lost;
    }
}

unsigned ratesSince(const LineRates &r, uint64_t sinceSec, uint64_t nowSec,
                    RateBucket out[kRateSecs], uint64_t *firstSec)
{
    uint64_t first = nowSec >= kRateSecs - 1 ? nowSec - (kRateSecs - 1) : 0;
    if (sinceSec > first)
        first = sinceSec;
    *firstSec = first;
    unsigned n = 0;
    for (uint64_t s = first; s <= nowSec && n < kRateSecs; s++) {
        int held = s <= r.newestSec && r.newestSec - s < kRateSecs;
        out[n++] = held ? r.ring[s % kRateSecs] : RateBucket{};
    }
    return n;
}
