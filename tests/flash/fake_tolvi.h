// An emulated Tolvi device for the unit tests: 512 KB of NOR flash behind
// the control request, with a log of requests and injectable faults.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "device.h"

struct FakeRequest {
    int opcode;
    uint32_t address;  // flash address, or block number for an erase
};

struct FakeTolvi {
    std::vector<uint8_t> flash = std::vector<uint8_t>(0x80000, 0xFF);
    std::vector<FakeRequest> log;
    int failOpcode = 0;          // requests of this opcode ...
    uint32_t failFrom = 0;       // ... at an address (block, for erase) in [failFrom, failTo)
    uint32_t failTo = 0;
    int failErrno = 5;           // EIO
    int ignoreProgram = 0;       // program requests "succeed" without writing
    int invalid = 0;             // requests the real driver would refuse

    void put(uint32_t address, const std::vector<uint8_t> &bytes);
    // An image header (magic, length, version bytes 12-15) at address.
    void putHeader(uint32_t address, uint32_t length, uint32_t version = 0x01000003);
    int count(int opcode) const;
};

extern FakeTolvi *g_fake;  // the device the hook answers for

// Installs a fresh emulated device as the driver and returns it; every
// block state starts unknown again.
FakeTolvi &installFakeTolvi();

// Standard input for a test: the bytes of text through a pipe on fd 0.
void feedStdin(const std::string &text);

// Little-endian u32 into bytes.
std::vector<uint8_t> le32Bytes(uint32_t v);

// One Intel HEX record line (upper case, with its checksum and "\n") for an
// address below 0x10000.
std::string hexRecord(int type, unsigned address, const std::vector<uint8_t> &data);
