// Block map: the flash layout, the block states, the image header read and
// the block listing.
#pragma once
#include <cstdint>

// Block states.
constexpr int BLOCK_FREE = 0;     // all 0xFF, or erased in this run
constexpr int BLOCK_UNKNOWN = 1;  // not examined, not read in whole, or its erase failed
constexpr int BLOCK_USED = 2;     // holds data or an image header
constexpr int BLOCK_SECOND = 3;   // second block of a two-block image

constexpr int kBlockCount = 11;
constexpr int kLastBlock = kBlockCount - 1;
constexpr int kLastProtectedBlock = 5;   // blocks 0-5 are never erased or programmed
constexpr uint64_t kFlashEnd = 0x80000;
constexpr uint64_t kImageBlockSize = 0x10000;
constexpr uint32_t kImageMagic = 0xC0DEBA5E;

// Start of each block, then the end of the flash.
inline constexpr uint64_t flashBlockAddress[kBlockCount + 1] = {
    0x00000, 0x04000, 0x06000, 0x08000, 0x10000, 0x20000,
    0x30000, 0x40000, 0x50000, 0x60000, 0x70000, kFlashEnd,
};

// Attributes shown per block: bit 0 r, bit 1 w, bit 2 x, bit 3 d.
inline constexpr int blockAttrib[kBlockCount] = {5, 1, 1, 5, 5, 5, 15, 15, 15, 15, 15};

// Image header fields (byte offsets in the first chunk of an image).
constexpr int kHdrMagic = 0;
constexpr int kHdrChecksum = 4;
constexpr int kHdrVersion = 12;
constexpr int kHdrLength = 16;
constexpr int kHdrStart = 24;

// The layout every flash walk relies on: ascending 256-byte aligned
// starts from 0 to the end of the flash, and 64 KB for the image blocks.
constexpr bool flashLayoutValid()
{
    if (flashBlockAddress[0] != 0 || flashBlockAddress[kBlockCount] != kFlashEnd)
        return false;
    for (int b = 0; b < kBlockCount; b++) {
        if (flashBlockAddress[b] >= flashBlockAddress[b + 1] || flashBlockAddress[b] % 256 != 0)
            return false;
        if (blockAttrib[b] < 0 || blockAttrib[b] > 15)
            return false;
        if (b > kLastProtectedBlock &&
            flashBlockAddress[b + 1] - flashBlockAddress[b] != kImageBlockSize)
            return false;
    }
    return true;
}
static_assert(flashLayoutValid());

extern int blockStatus[kBlockCount];  // state of each block
extern int flashBlock;                // block the listing is at
extern uint64_t flashAddress;         // next chunk of a flash walk
extern uint64_t flashEndAddress;      // end (exclusive) of that walk
extern int expert;                    // -e: the header read accepts any block
extern char g_szVersionText[20];      // version shown by the listing

// Little-endian u32 at p (image header fields).
inline uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Blocks spanned by an image of imageLength starting in block, as the
// header read counts them (1 or 2).
int headerBlockCount(int block, uint32_t imageLength);

// 1 when the listing takes the image in block as two blocks.
int listingSpansTwo(int block, uint32_t imageLength);

// Reads the image header of block; -1 on failure or no header, else the
// number of blocks the image spans. Marks block used (and the next second).
int check_flash_header(int block);

// Prints the block table and recomputes every listed block's state; a
// block that could not be read in whole is listed as unknown.
void listFlashBlocks();
