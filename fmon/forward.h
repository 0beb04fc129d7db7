// The forwarded record: its header, the conversion of the driver's time
// stamps into time of day, local numbering, truncation, pacing and the send
// to the collector.
#pragma once
#include "monrec.h"
#include <cstddef>
#include <cstdint>
#include <sys/time.h>

// Header layout, version 0 (offsets from the record's first byte). The
// version 1 header puts the bytes 1, 0 in front of the same fields.
constexpr std::size_t FWD_OFF_SEQNO = 0;
constexpr std::size_t FWD_OFF_SECS = 2;
constexpr std::size_t FWD_OFF_MSECS = 10;
constexpr std::size_t FWD_OFF_GWID = 12;
constexpr std::size_t FWD_OFF_LINE = 13;
constexpr std::size_t FWD_OFF_TXFLAG = 14;
constexpr std::size_t FWD_OFF_RESERVED = 15;
constexpr std::size_t FWD_OFF_FRAMELEN = 16;
constexpr std::size_t FWD_V0_HDR_SIZE = 18;
constexpr std::size_t FWD_V1_PREFIX = 2;
constexpr std::size_t FWD_V1_HDR_SIZE = FWD_V1_PREFIX + FWD_V0_HDR_SIZE;

static_assert(FWD_OFF_SECS == FWD_OFF_SEQNO + 2 && FWD_OFF_MSECS == FWD_OFF_SECS + 8);
static_assert(FWD_OFF_GWID == FWD_OFF_MSECS + 2 && FWD_OFF_FRAMELEN == FWD_OFF_RESERVED + 1);
static_assert(FWD_V0_HDR_SIZE == FWD_OFF_FRAMELEN + 2 && FWD_V0_HDR_SIZE == 18);
static_assert(FWD_V1_HDR_SIZE == 20);
static_assert(FWD_V1_HDR_SIZE <= MONBUF_HDR_AREA, "the header is built in the header area");

// The fields of one forwarded header, in host order.
struct FwdHeader {
    uint16_t seqNo;
    uint64_t stampSecs;
    uint16_t stampMsecs;
    uint8_t txFlag;
    uint16_t frameLen;
};

extern unsigned long baseTimeStamp; // driver time stamp of the first record
extern struct timeval basetv;       // time of day when it was taken in
extern uint16_t g_localSeq;         // local record counter (-q and flood)
extern struct timeval lasttv;       // end of the last pacing wait
extern int bLastTimeKnown;          // 1 once lasttv holds a time

// Size of the header of the version in force.
std::size_t fwdHeaderSize();
// Writes the header of the version in force so that it ends at frame, with
// the gateway id and line number of the settings. Returns its size.
std::size_t writeFwdHeader(unsigned char *frame, const FwdHeader &h);

uint64_t hl64ton(uint64_t v);
void SetBaseTimeStamp(unsigned long stamp);
void ConvertTimeStamp(unsigned long stamp, uint64_t *secs, uint16_t *msecs);
// The time on a clock that never steps (seconds and microseconds since an
// arbitrary start): intervals measured on it stay true when the time of day
// is set. The time of day is kept for the records' time stamps.
void f_monotonicNow(struct timeval *tv);
uint32_t f_elapsedUsecs(const struct timeval *now, const struct timeval *then);
void f_delayLoop();

// Builds and sends the forwarded record for one monitor record. frame has
// the header area writable in front of it; frame bytes may be blanked.
void createFrame(const MonHeader *hdr, unsigned char *frame);
// Forwards the record whose header area starts at area (g_monBuf or a store
// entry) and whose header the caller has decoded into h: exp_seq_no moves
// past it and its monitor header is kept intact.
void forwardRecord(unsigned char *area, const MonHeader &h);
