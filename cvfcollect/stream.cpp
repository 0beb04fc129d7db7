// TCP stream reassembly.
#include "stream.h"

#include <cstdlib>
#include <cstring>

int streamOpen(Stream *s, int version, unsigned maxFrame)
{
    s->buf = (uint8_t *)malloc(kStreamBufLen);
    s->start = s->end = 0;
    s->taken = 0;
    s->version = version;
    s->maxFrame = maxFrame;
    return s->buf != nullptr;
}

void streamClose(Stream *s)
{
    free(s->buf);
    s->buf = nullptr;
    s->start = s->end = 0;
}

uint8_t *streamTail(Stream *s, size_t *room)
{
    if (s->start == s->end) {
        s->start = s->end = 0;
    } else if (kStreamBufLen - s->end < kMaxRecordLen) {
        size_t n = s->end - s->start;
        memmove(s->buf, s->buf + s->start, n);
        s->start = 0;
        s->end = n;
    }
    *room = kStreamBufLen - s->end;
    return s->buf + s->end;
}

void streamCommit(Stream *s, size_t n)
{
    s->end += n;
}

size_t streamPush(Stream *s, const uint8_t *data, size_t n)
{
    size_t room;
    uint8_t *tail = streamTail(s, &room);
    if (n > room)
        n = room;
    memcpy(tail, data, n);
    streamCommit(s, n);
    return n;
}

StreamStep streamNext(Stream *s, CvRecord *rec, RecordCheck *why)
{
    size_t avail = s->end - s->start;
    RecordCheck c = decodeHeader(s->buf + s->start, avail, s->version, s->maxFrame, rec);
    if (c == kRecShort)
        return kStreamNeedMore;
    if (c != kRecOk) {
        *why = c;
        return kStreamLostSync;
    }
    if (avail < rec->recordLen)
        return kStreamNeedMore;
    s->start += rec->recordLen;
    s->taken += rec->recordLen;
    return kStreamRecord;
}
