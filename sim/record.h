// The sync driver's monitor record: one record per frame, a fixed header in
// host byte order (little-endian here) followed by the frame bytes. The
// header's time stamp is a C unsigned long, so the layout follows the word
// size of the host the driver runs on.
#pragma once
#include <cstddef>
#include <cstdint>

// Where each header field lives in one of the two record layouts.
struct RecordLayout {
    int bits;            // word size of the host: 32 or 64
    size_t headerSize;   // bytes in front of the frame
    size_t dirOff;       // direction: 1 = transmitted (Tx), else received (Rx)
    size_t seqOff;       // u32 sequence number
    size_t tsOff;        // time stamp in milliseconds
    size_t tsWidth;      // 4 or 8 bytes
    size_t lenOff;       // u32 number of frame bytes
};

inline constexpr RecordLayout kLayout32 = {32, 16, 1, 4, 8, 4, 12};
inline constexpr RecordLayout kLayout64 = {64, 24, 1, 4, 8, 8, 16};

static_assert(kLayout32.lenOff + 4 == kLayout32.headerSize, "32-bit header ends with length");
static_assert(kLayout64.lenOff + 4 + 4 == kLayout64.headerSize, "64-bit header has 4 alignment bytes");
static_assert(kLayout32.tsOff + kLayout32.tsWidth == kLayout32.lenOff, "32-bit time stamp before length");
static_assert(kLayout64.tsOff + kLayout64.tsWidth == kLayout64.lenOff, "64-bit time stamp before length");

constexpr uint8_t kDirTx = 1;          // direction byte of a transmitted frame
constexpr uint8_t kDirRx = 0;          // direction byte of a received frame
constexpr size_t kMaxFrame = 4096;     // the largest frame the driver reports
constexpr size_t kMaxDatagram = 16384; // the largest datagram the player writes
constexpr uint16_t kEthPDiag = 0x6005; // protocol of the monitor records

// Returns the layout for 32 or 64, or nullptr for any other word size.
const RecordLayout *layoutFor(int bits);

// The header of one record as the player sends it.
struct RecordHeader {
    uint8_t direction;  // kDirTx, kDirRx or any other byte
    uint32_t seq;       // sequence number
    uint64_t timeStamp; // milliseconds; the 32-bit layout keeps the low 32 bits
    uint32_t length;    // value of the length field (normally the frame size)
};

// Writes the header into out[0..headerSize) in the layout's byte order.
void encodeHeader(const RecordLayout &lay, const RecordHeader &h, uint8_t *out);
// Reads a header back; returns false when fewer than headerSize bytes are given.
bool decodeHeader(const RecordLayout &lay, const uint8_t *in, size_t n, RecordHeader *h);

// 64-bit FNV-1a hash of a frame, as written to the player's log.
uint64_t frameHash(const uint8_t *data, size_t n);
