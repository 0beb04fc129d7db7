// Per-line statistics and sequence accounting.
#include "line_table.h"

#include <cstdlib>
#include <cstring>

LineStats *g_lines[kLineSlots];
unsigned g_lineCount;
Totals g_totals;

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

static LineStats *lineFor(const CvRecord &rec)
{
    unsigned key = lineKey(rec.gwId, rec.lineNum);
    LineStats *ls = g_lines[key];
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
    g_lines[key] = ls;
    g_lineCount++;
    return ls;
}

uint64_t statsRecord(const CvRecord &rec, uint64_t nowNs)
{
    if (g_totals.records++ == 0)
        g_totals.firstNs = nowNs;
    g_totals.lastNs = nowNs;
    LineStats *ls = lineFor(rec);
    if (!ls)
        return 0;
    if (ls->records++ == 0)
        ls->firstNs = nowNs;
    ls->lastNs = nowNs;
    ls->bytes += rec.recordLen;
    ls->frameBytes += rec.frameLen;
    if (rec.txFlag)
        ls->tx++;
    else
        ls->rx++;
    ls->lastSeq = rec.seqNo;
    ls->lastSecs = rec.stampSecs;
    ls->lastMs = rec.stampMsecs;
    uint64_t lostBefore = ls->seq.lost;
    seqAccount(&ls->seqState, &ls->seq, rec.seqNo);
    return ls->seq.lost > lostBefore ? ls->seq.lost - lostBefore : 0;
}

void statsInvalid(RecordCheck why, const uint8_t *p, size_t len, int version)
{
    g_totals.invalid++;
    g_totals.invalidBy[why]++;
    size_t off = hdrLen(version) - kHdrLenV0;
    if (len < off + kOffLineNum + 1)
        return;
    LineStats *ls = g_lines[lineKey(p[off + kOffGwId], p[off + kOffLineNum])];
    if (ls)
        ls->invalid++;
}

LineStats statsSum()
{
    LineStats s = {};
    for (LineStats *ls : g_lines) {
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
    s.invalid = g_totals.invalid;
    s.firstNs = g_totals.firstNs;
    s.lastNs = g_totals.lastNs;
    return s;
}

void statsFree()
{
    for (LineStats *&ls : g_lines) {
        free(ls);
        ls = nullptr;
    }
    g_lineCount = 0;
}
