// The driver's monitor record, the receive buffer that holds one, and the
// sequence state shared by the receive loop, the reorder store and the
// forwarding of one record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <endian.h>

// The driver's record header follows the host's word size: its time stamp
// is an unsigned long. 16 bytes on a 32-bit host, 24 on a 64-bit host.
constexpr bool MONREC_WIDE = sizeof(unsigned long) == 8;

constexpr std::size_t MONREC_OFF_DIRECTION = 1;
constexpr std::size_t MONREC_OFF_SEQ_NO = 4;
constexpr std::size_t MONREC_OFF_TIMESTAMP = 8;
constexpr std::size_t MONREC_TIMESTAMP_SIZE = sizeof(unsigned long);
constexpr std::size_t MONREC_OFF_LENGTH = MONREC_WIDE ? 16 : 12;
constexpr std::size_t MONREC_HDR_SIZE = MONREC_WIDE ? 24 : 16;
constexpr std::size_t MONREC_MAX_FRAME = 4096;
constexpr std::size_t MONREC_MAX_SIZE = MONREC_HDR_SIZE + MONREC_MAX_FRAME;

static_assert(MONREC_OFF_TIMESTAMP + MONREC_TIMESTAMP_SIZE == MONREC_OFF_LENGTH);
static_assert(MONREC_WIDE ? MONREC_HDR_SIZE == 24 : MONREC_HDR_SIZE == 16);
static_assert(MONREC_OFF_LENGTH + 4 <= MONREC_HDR_SIZE);
static_assert(MONREC_MAX_SIZE == (MONREC_WIDE ? 4120u : 4112u));

// g_monBuf: a header area of writable bytes lies right in front of the
// frame bytes, so the forwarded header can be built in place. On a 32-bit
// host the record is received at offset 4 behind 4 spare bytes.
constexpr std::size_t MONBUF_SIZE = MONREC_WIDE ? 4144 : 4132;
constexpr std::size_t MONBUF_REC_OFF = MONREC_WIDE ? 0 : 4;
constexpr std::size_t MONBUF_HDR_AREA = MONBUF_REC_OFF + MONREC_HDR_SIZE;
constexpr std::size_t MONBUF_FRAME_SPACE = MONBUF_SIZE - MONBUF_HDR_AREA;

static_assert(MONBUF_HDR_AREA == (MONREC_WIDE ? 24u : 20u));
static_assert(MONBUF_HDR_AREA >= 20, "room for the larger forwarded header");
static_assert(MONBUF_REC_OFF + MONREC_MAX_SIZE <= MONBUF_SIZE);
static_assert(MONBUF_FRAME_SPACE == (MONREC_WIDE ? 4120u : 4112u));

// A decoded copy of a record header (only the fields that are read).
struct MonHeader {
    uint8_t direction;      // 1: the port transmitted the frame
    uint32_t seq_no;        // the driver's record number
    unsigned long timeStamp; // the driver's clock, milliseconds
    uint32_t length;        // frame bytes after the header
};

extern unsigned char g_monBuf[MONBUF_SIZE]; // receive buffer for one record
extern uint32_t exp_seq_no;                 // number of the next record to forward
extern int init_seq_no;                     // 1 once the initial window has closed:
                                            // exp_seq_no is then a real expectation

// Reads the header that starts at rec (the record's first byte). Inline:
// the receive loop decodes every record more than once.
inline MonHeader monrecDecode(const unsigned char *rec)
{
    MonHeader h;
    uint32_t v32;
    h.direction = rec[MONREC_OFF_DIRECTION];
    std::memcpy(&v32, rec + MONREC_OFF_SEQ_NO, sizeof v32);
    h.seq_no = le32toh(v32);
    if constexpr (MONREC_WIDE) {
        uint64_t v64;
        std::memcpy(&v64, rec + MONREC_OFF_TIMESTAMP, sizeof v64);
        h.timeStamp = (unsigned long)le64toh(v64);
    } else {
        std::memcpy(&v32, rec + MONREC_OFF_TIMESTAMP, sizeof v32);
        h.timeStamp = le32toh(v32);
    }
    std::memcpy(&v32, rec + MONREC_OFF_LENGTH, sizeof v32);
    h.length = le32toh(v32);
    return h;
}
// Writes the header fields into rec (the bytes not read are zeroed).
void monrecEncode(unsigned char *rec, const MonHeader &h);

// The record in g_monBuf and its frame bytes.
inline unsigned char *monBufRecord() { return g_monBuf + MONBUF_REC_OFF; }
inline unsigned char *monBufFrame() { return g_monBuf + MONBUF_HDR_AREA; }

// Sequence comparison by serial arithmetic, so that the numbering may wrap
// from 4294967295 to 0. Result <0 behind, 0 equal, >0 ahead.
int seqCompare(uint32_t seq, uint32_t exp);
