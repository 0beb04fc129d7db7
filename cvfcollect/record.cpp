// Decoding and checking of forwarded records.
#include "record.h"

#include <cstring>

const char *const kRecordCheckName[kRecCheckCount] = {
    "ok", "short", "version", "reserved", "txflag", "msecs", "frame_too_long", "size_mismatch",
    "truncated",
};

static uint16_t be16(const uint8_t *p)
{
    uint8_t b[2];
    memcpy(b, p, 2);
    return (uint16_t)((b[0] << 8) | b[1]);
}

static uint64_t be64(const uint8_t *p)
{
    uint8_t b[8];
    memcpy(b, p, 8);
    uint64_t v = 0;
    for (uint8_t x : b)
        v = (v << 8) | x;
    return v;
}

static void putBe16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void putBe64(uint8_t *p, uint64_t v)
{
    for (int i = 7; i >= 0; i--, v >>= 8)
        p[i] = (uint8_t)v;
}

RecordCheck decodeHeader(const uint8_t *p, size_t avail, int version, unsigned maxFrame,
                         CvRecord *rec)
{
    size_t hl = hdrLen(version);
    if (avail < hl)
        return kRecShort;
    if (version && (p[0] != 1 || p[1] != 0))
        return kRecVersion;
    const uint8_t *h = p + (hl - kHdrLenV0);
    rec->version = (uint8_t)(version ? 1 : 0);
    rec->seqNo = be16(h + kOffSeqNo);
    rec->stampSecs = be64(h + kOffStampSecs);
    rec->stampMsecs = be16(h + kOffStampMsecs);
    rec->gwId = h[kOffGwId];
    rec->lineNum = h[kOffLineNum];
    rec->txFlag = h[kOffTxFlag];
    rec->reserved = h[kOffReserved];
    rec->frameLen = be16(h + kOffFrameLen);
    rec->frame = p + hl;
    rec->recordLen = hl + rec->frameLen;
    if (rec->reserved != 0)
        return kRecReserved;
    if (rec->txFlag > 1)
        return kRecTxFlag;
    if (rec->stampMsecs > 999)
        return kRecMsecs;
    if (rec->frameLen > maxFrame)
        return kRecFrameTooLong;
    return kRecOk;
}

RecordCheck decodeDatagram(const uint8_t *p, size_t len, int version, unsigned maxFrame,
                           CvRecord *rec)
{
    RecordCheck c = decodeHeader(p, len, version, maxFrame, rec);
    if (c != kRecOk)
        return c;
    return rec->recordLen == len ? kRecOk : kRecSizeMismatch;
}

void encodeHeader(const CvRecord &rec, int version, uint8_t *out)
{
    uint8_t *h = out;
    if (version) {
        out[0] = 1;
        out[1] = 0;
        h = out + 2;
    }
    putBe16(h + kOffSeqNo, rec.seqNo);
    putBe64(h + kOffStampSecs, rec.stampSecs);
    putBe16(h + kOffStampMsecs, rec.stampMsecs);
    h[kOffGwId] = rec.gwId;
    h[kOffLineNum] = rec.lineNum;
    h[kOffTxFlag] = rec.txFlag;
    h[kOffReserved] = rec.reserved;
    putBe16(h + kOffFrameLen, rec.frameLen);
}
