// Reassembly of records from a TCP byte stream. The monitor writes its
// records back to back with no delimiter: the end of each one follows from
// the header size of the version in force and frameLen.
#pragma once
#include <cstddef>
#include <cstdint>

#include "record.h"

constexpr size_t kStreamBufLen = 256 * 1024;  // reassembly buffer of one connection
static_assert(kStreamBufLen >= 2 * kMaxRecordLen, "a read must always find room");

struct Stream {
    uint8_t *buf;      // kStreamBufLen bytes, owned
    size_t start;      // first byte not yet taken as a record
    size_t end;        // end of the bytes read
    uint64_t taken;    // stream offset of buf[start]
    int version;       // header version of this stream
    unsigned maxFrame; // largest frameLen accepted
};

enum StreamStep {
    kStreamRecord,    // *rec holds the next record
    kStreamNeedMore,  // no whole record buffered yet
    kStreamLostSync,  // the bytes at the stream position are no header
};

// Allocates the buffer; returns 0 when there is no memory.
int streamOpen(Stream *s, int version, unsigned maxFrame);
void streamClose(Stream *s);

// Room for the next read: moves the buffered partial record to the front
// when that gives more room. *room is never 0 for an open stream.
uint8_t *streamTail(Stream *s, size_t *room);
// Counts n bytes just read into the tail as buffered.
void streamCommit(Stream *s, size_t n);
// Copies up to n bytes in (as a read would); returns how many were taken.
size_t streamPush(Stream *s, const uint8_t *data, size_t n);

// Takes the next whole record. On kStreamLostSync *why tells the failed
// check; the stream stays where it is, for the caller to report and drop.
StreamStep streamNext(Stream *s, CvRecord *rec, RecordCheck *why);

inline size_t streamPending(const Stream *s) { return s->end - s->start; }
inline const uint8_t *streamPendingBytes(const Stream *s) { return s->buf + s->start; }
