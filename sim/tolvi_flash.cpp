// The simulated Tolvi flash chip: a 512 KiB file with NOR behaviour
// (programming only clears bits, erasing sets a block to 0xFF) and the
// driver's control request on top of it.
#include "tolvi_flash.h"
#include "tolvi_fault.h"
#include "tolvi_paths.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

uint32_t getLe32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
           (uint32_t)p[3] << 24;
}

uint16_t getLe16(const unsigned char *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

void putLe32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (unsigned char)(v >> (8 * i));
}

void putLe16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

unsigned tolviBlockOf(uint32_t address)
{
    unsigned b = 0;
    while (b < kTolviBlocks && address >= tolviBlockAddress[b + 1])
        ++b;
    return b;
}

// Read and program: reqWrite 0/1, 256 bytes at a chunk-aligned address
// inside the flash.
static int decodeTransfer(const unsigned char *req, TolviOp op, uint8_t write,
                          TolviRequest *out)
{
    uint32_t address = (uint32_t)getLe16(req + kReqAddrHigh) << 16 |
                       getLe16(req + kReqAddrLow);
    if (req[kReqWrite] != write || getLe16(req + kReqLength) != kTolviChunk ||
        address % kTolviChunk != 0 || address >= kTolviFlashSize)
        return EINVAL;
    *out = {op, address, address + kTolviChunk, tolviBlockOf(address)};
    return 0;
}

// Erase: reqWrite 1, no data, the block number in reqAddrLow.
static int decodeErase(const unsigned char *req, TolviRequest *out)
{
    unsigned block = getLe16(req + kReqAddrLow);
    if (req[kReqWrite] != 1 || getLe16(req + kReqLength) != 0 ||
        getLe16(req + kReqAddrHigh) != 0 || block >= kTolviBlocks)
        return EINVAL;
    *out = {TOLVI_ERASE, tolviBlockAddress[block], tolviBlockAddress[block + 1],
            block};
    return 0;
}

int tolviDecodeRequest(const unsigned char *req, TolviRequest *out)
{
    if (getLe32(req + kReqClass) != 1)
        return EINVAL;
    switch (req[kReqOpcode]) {
    case kReqRead:
        return decodeTransfer(req, TOLVI_READ, 0, out);
    case kReqProgram:
        return decodeTransfer(req, TOLVI_PROGRAM, 1, out);
    case kReqErase:
        return decodeErase(req, out);
    default:
        return EINVAL;
    }
}

// Flash bytes are read and written whole: a short transfer is a fault of
// the file, reported as EIO.
template <typename Buf, typename Io>
static int transferAll(Io io, int fd, Buf *buf, size_t len, off_t at)
{
    while (len > 0) {
        ssize_t n = io(fd, buf, len, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        buf += n, len -= (size_t)n, at += n;
    }
    return 0;
}

static int readAll(int fd, unsigned char *buf, size_t len, off_t at)
{
    return transferAll(pread, fd, buf, len, at);
}

static int writeAll(int fd, const unsigned char *buf, size_t len, off_t at)
{
    return transferAll(pwrite, fd, buf, len, at);
}

static int inFlash(uint32_t address, size_t len)
{
    return address <= kTolviFlashSize && len <= kTolviFlashSize - address;
}

int tolviFlashRead(int fd, uint32_t address, unsigned char *out, size_t len)
{
    if (!inFlash(address, len))
        return EINVAL;
    return readAll(fd, out, len, address);
}

int tolviFlashProgram(int fd, uint32_t address, const unsigned char *data,
                      size_t len)
{
    if (!inFlash(address, len))
        return EINVAL;
    unsigned char cells[kTolviChunk];
    flock(fd, LOCK_EX);
    int err = 0;
    for (size_t done = 0; err == 0 && done < len; done += sizeof cells) {
        size_t n = len - done < sizeof cells ? len - done : sizeof cells;
        err = readAll(fd, cells, n, address + done);
        for (size_t i = 0; err == 0 && i < n; ++i)
            cells[i] &= data[done + i];
        if (err == 0)
            err = writeAll(fd, cells, n, address + done);
    }
    flock(fd, LOCK_UN);
    return err;
}

static int fillErased(int fd, uint32_t address, uint32_t len)
{
    unsigned char ones[4096];
    memset(ones, 0xFF, sizeof ones);
    int err = 0;
    for (uint32_t done = 0; err == 0 && done < len; done += sizeof ones) {
        uint32_t n = len - done < sizeof ones ? len - done : sizeof ones;
        err = writeAll(fd, ones, n, address + done);
    }
    return err;
}

int tolviFlashErase(int fd, unsigned block)
{
    if (block >= kTolviBlocks)
        return EINVAL;
    flock(fd, LOCK_EX);
    int err = fillErased(fd, tolviBlockAddress[block], tolviBlockSize(block));
    flock(fd, LOCK_UN);
    return err;
}

int tolviFlashFormat(int fd)
{
    if (ftruncate(fd, kTolviFlashSize) != 0)
        return errno;
    return fillErased(fd, 0, kTolviFlashSize);
}

static int execute(int fd, const TolviRequest *r, unsigned char *req)
{
    switch (r->op) {
    case TOLVI_READ:
        return tolviFlashRead(fd, r->address, req + kReqData, kTolviChunk);
    case TOLVI_PROGRAM:
        return tolviFlashProgram(fd, r->address, req + kReqData, kTolviChunk);
    case TOLVI_ERASE:
        return tolviFlashErase(fd, r->block);
    }
    return EINVAL;
}

int tolviHandleRequest(const char *dir, const char *name, unsigned char *req)
{
    char path[4096];
    if (tolviFlashPath(dir, name, path, sizeof path) != 0)
        return ENODEV;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return ENODEV;
    TolviRequest r;
    int err = tolviDecodeRequest(req, &r);
    if (err == 0 && tolviFaultsPath(dir, name, path, sizeof path) == 0)
        err = tolviFaultCheck(path, &r);
    if (err == 0)
        err = execute(fd, &r, req);
    close(fd);
    return err;
}
