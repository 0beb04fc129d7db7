// The forwarded record as the monitor sends it: a version 0 header of 18
// bytes or a version 1 header of 20 bytes (1, 0 in front of the same 18),
// big-endian fields, then frameLen frame bytes.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kHdrLenV0 = 18;          // version 0 header
constexpr size_t kHdrLenV1 = 20;          // version 1 header
constexpr size_t kMaxRecordLen = kHdrLenV1 + 0xffff;  // largest record a header can describe
constexpr unsigned kDefaultMaxFrame = 4120;  // largest frame the monitor sends, flood records included

// Offsets of the fields in the version 0 header; a version 1 header has
// the same fields two bytes further on.
struct HdrField {
    const char *name;
    unsigned offset;
    unsigned size;
};
constexpr HdrField kHdrFields[] = {
    {"seqNo", 0, 2},     {"stampSecs", 2, 8}, {"stampMsecs", 10, 2},
    {"gwId", 12, 1},     {"lineNum", 13, 1},  {"txFlag", 14, 1},
    {"reserved", 15, 1}, {"frameLen", 16, 2},
};
constexpr unsigned kOffSeqNo = 0, kOffStampSecs = 2, kOffStampMsecs = 10, kOffGwId = 12,
                   kOffLineNum = 13, kOffTxFlag = 14, kOffReserved = 15, kOffFrameLen = 16;

constexpr bool hdrFieldsTile()
{
    unsigned at = 0;
    for (const HdrField &f : kHdrFields) {
        if (f.offset != at)
            return false;
        at += f.size;
    }
    return at == kHdrLenV0;
}
static_assert(hdrFieldsTile(), "header fields must tile the 18-byte header");
static_assert(kOffFrameLen + 2 == kHdrLenV0 && kHdrLenV1 == kHdrLenV0 + 2);

// One decoded record; frame points into the caller's buffer.
struct CvRecord {
    uint8_t version;       // 0 or 1: the header version it was decoded with
    uint16_t seqNo;
    uint64_t stampSecs;
    uint16_t stampMsecs;
    uint8_t gwId;
    uint8_t lineNum;
    uint8_t txFlag;
    uint8_t reserved;
    uint16_t frameLen;
    const uint8_t *frame;
    size_t recordLen;      // header + frame bytes
};

// Why a record was refused; kRecOk for a sound one.
enum RecordCheck {
    kRecOk = 0,
    kRecShort,        // fewer bytes than a header
    kRecVersion,      // version 1 header without the bytes 1, 0
    kRecReserved,     // reserved byte not 0
    kRecTxFlag,       // direction neither 0 nor 1
    kRecMsecs,        // milliseconds above 999
    kRecFrameTooLong, // frameLen above the largest frame accepted
    kRecSizeMismatch, // datagram size differs from header + frameLen
    kRecTruncated,    // stream ended inside a record
    kRecCheckCount
};

// Short names of the checks, as the summary and the JSON show them.
extern const char *const kRecordCheckName[kRecCheckCount];

inline size_t hdrLen(int version) { return version ? kHdrLenV1 : kHdrLenV0; }

// Decodes and checks a header in p[0..avail). Returns kRecShort when avail
// is below the header size; otherwise the first failed header check, or
// kRecOk with *rec filled (frame and recordLen set, the frame bytes
// themselves not yet checked to be present).
RecordCheck decodeHeader(const uint8_t *p, size_t avail, int version, unsigned maxFrame,
                         CvRecord *rec);

// Decodes one record that must fill exactly len bytes (a UDP datagram).
RecordCheck decodeDatagram(const uint8_t *p, size_t len, int version, unsigned maxFrame,
                           CvRecord *rec);

// Writes a header for rec in front of nothing: out gets hdrLen(version)
// bytes. The inverse of decodeHeader, for tests and tools that build records.
void encodeHeader(const CvRecord &rec, int version, uint8_t *out);
