// The simulated Tolvi flash: block map, control request layout and the NOR
// flash file that stands for the chip. Plain C library only: this code is
// also linked into the preload library.
#pragma once
#include <cstddef>
#include <cstdint>

// Flash geometry: 11 blocks of unequal size, 512 KiB in all.
constexpr unsigned kTolviBlocks = 11;
constexpr uint32_t kTolviFlashSize = 0x80000;
constexpr uint32_t kTolviChunk = 256;
constexpr uint32_t tolviBlockAddress[kTolviBlocks + 1] = {
    0x00000, 0x04000, 0x06000, 0x08000, 0x10000, 0x20000,
    0x30000, 0x40000, 0x50000, 0x60000, 0x70000, 0x80000};
static_assert(tolviBlockAddress[kTolviBlocks] == kTolviFlashSize);

// Image header at the start of an image's first block (little-endian u32s).
constexpr uint32_t kTolviImageMagic = 0xC0DEBA5E;
constexpr size_t kTolviHeaderSize = 28;
constexpr size_t kHdrMagic = 0, kHdrChecksum = 4, kHdrSize = 8,
                 kHdrVersion = 12, kHdrLength = 16, kHdrFlags = 20,
                 kHdrStart = 24;
static_assert(kHdrStart + 4 == kTolviHeaderSize);

// The driver's control request: SIOCDEVPRIVATE + 4 with ifr_data pointing
// at a 268-byte record in host (little-endian) order.
constexpr unsigned long kTolviIoctl = 0x89F4;
constexpr size_t kReqClass = 0, kReqWrite = 4, kReqOpcode = 5,
                 kReqAddrHigh = 6, kReqAddrLow = 8, kReqLength = 10,
                 kReqData = 12, kReqSize = 268;
static_assert(kReqData + kTolviChunk == kReqSize);
constexpr uint8_t kReqRead = 2, kReqProgram = 3, kReqErase = 4;

// The kinds of request a fault can be aimed at.
enum TolviOp { TOLVI_READ, TOLVI_PROGRAM, TOLVI_ERASE };

// A decoded, checked control request.
struct TolviRequest {
    TolviOp op;
    uint32_t address;  // read/program: byte address; erase: block start
    uint32_t end;      // first address after the bytes the request touches
    unsigned block;    // erase: the block number
};

uint32_t getLe32(const unsigned char *p);
uint16_t getLe16(const unsigned char *p);
void putLe32(unsigned char *p, uint32_t v);
void putLe16(unsigned char *p, uint16_t v);

// Block number holding an address (kTolviBlocks for addresses past the end).
unsigned tolviBlockOf(uint32_t address);
inline uint32_t tolviBlockSize(unsigned block)
{
    return tolviBlockAddress[block + 1] - tolviBlockAddress[block];
}

// Decodes the 268-byte request; 0 on success, EINVAL when it is malformed.
int tolviDecodeRequest(const unsigned char *req, TolviRequest *out);

// Flash file operations on an open descriptor of a 512 KiB flash file; each
// returns 0 or an errno value.
int tolviFlashRead(int fd, uint32_t address, unsigned char *out, size_t len);
int tolviFlashProgram(int fd, uint32_t address, const unsigned char *data,
                      size_t len);
int tolviFlashErase(int fd, unsigned block);
// Sets the whole file to the erased state (all 0xFF, kTolviFlashSize bytes).
int tolviFlashFormat(int fd);

// Carries out one request on the device NAME of the simulator directory
// DIR: fills reqData for a read. Returns 0 or the errno of the failure
// (ENODEV for a device without a flash file, EINVAL for a malformed
// request, the injected errno for a matching fault).
int tolviHandleRequest(const char *dir, const char *name, unsigned char *req);
