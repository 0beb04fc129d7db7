// An emulated Tolvi device for the unit tests.
#include "fake_tolvi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "blocks.h"
#include "console.h"

FakeTolvi *g_fake;

void FakeTolvi::put(uint32_t address, const std::vector<uint8_t> &bytes)
{
    std::memcpy(flash.data() + address, bytes.data(), bytes.size());
}

std::vector<uint8_t> le32Bytes(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

std::string hexRecord(int type, unsigned address, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> bytes = {uint8_t(data.size()), uint8_t(address >> 8), uint8_t(address), uint8_t(type)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (auto b : bytes)
        sum += b;
    bytes.push_back(uint8_t(-sum));
    std::string s = ":";
    char hex[3];
    for (auto b : bytes) {
        snprintf(hex, sizeof hex, "%02X", b);
        s += hex;
    }
    return s + "\n";
}

void FakeTolvi::putHeader(uint32_t address, uint32_t length, uint32_t version)
{
    put(address, le32Bytes(0xC0DEBA5E));
    put(address + 12, le32Bytes(version));
    put(address + 16, le32Bytes(length));
}

int FakeTolvi::count(int opcode) const
{
    int n = 0;
    for (const auto &r : log)
        n += r.opcode == opcode;
    return n;
}

static int fakeIoctl(int, unsigned long code, struct ifreq *ifr)
{
    FakeTolvi &dev = *g_fake;
    CvtCtrlReq r;
    std::memcpy(&r, ifr->ifr_data, sizeof r);
    if (code != IoctlCodeCorvaneControlRequest || r.reqClass != 1) {
        dev.invalid++;
        errno = EINVAL;
        return -1;
    }
    uint32_t address = r.reqOpcode == REQ_ERASE ? r.reqAddrLow : (uint32_t)r.reqAddrHigh << 16 | r.reqAddrLow;
    dev.log.push_back({r.reqOpcode, address});
    bool ok = r.reqOpcode == REQ_ERASE
                  ? r.reqWrite == 1 && r.reqLength == 0 && r.reqAddrHigh == 0 && address <= 10
                  : r.reqLength == 256 && address % 256 == 0 && address < 0x80000 &&
                        r.reqWrite == (r.reqOpcode == REQ_PROGRAM) &&
                        (r.reqOpcode == REQ_READ || r.reqOpcode == REQ_PROGRAM);
    if (!ok) {
        dev.invalid++;
        errno = EINVAL;
        return -1;
    }
    if (r.reqOpcode == dev.failOpcode && address >= dev.failFrom && address < dev.failTo) {
        errno = dev.failErrno;
        return -1;
    }
    uint8_t *p = dev.flash.data() + address;
    if (r.reqOpcode == REQ_READ) {
        std::memcpy(reinterpret_cast<CvtCtrlReq *>(ifr->ifr_data)->reqData, p, 256);
    } else if (r.reqOpcode == REQ_PROGRAM) {
        for (int i = 0; i < 256 && !dev.ignoreProgram; i++)
            p[i] &= r.reqData[i];
    } else {
        uint64_t from = flashBlockAddress[address], to = flashBlockAddress[address + 1];
        std::memset(dev.flash.data() + from, 0xFF, to - from);
    }
    return 0;
}

FakeTolvi &installFakeTolvi()
{
    static FakeTolvi dev;
    dev = FakeTolvi();
    g_fake = &dev;
    g_pfnDeviceIoctl = fakeIoctl;
    std::strcpy(g_szDeviceName, "tolvi0");
    for (int &state : blockStatus)
        state = BLOCK_UNKNOWN;
    expert = 0;
    return dev;
}

void feedStdin(const std::string &text)
{
    int fds[2];
    if (pipe(fds) != 0)
        return;
    // A pipe holds 64 KB, more than any test script.
    if (write(fds[1], text.data(), text.size()) != (ssize_t)text.size())
        return;
    close(fds[1]);
    dup2(fds[0], 0);
    close(fds[0]);
    consoleResetInput();
}
