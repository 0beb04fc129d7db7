// Helpers shared by the simulated Tolvi tests: a scratch simulator
// directory and control requests.
#pragma once
#include "cvsim_tolvi.h"
#include "tolvi_cmd.h"
#include "tolvi_flash.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

inline int removeEntryForTest(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// A fresh simulator directory, made the command group's directory.
class TolviDirTest : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/simtolvi-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(tolviUseDir(dir.c_str(), 0), 0);
    }
    void TearDown() override
    {
        nftw(dir.c_str(), removeEntryForTest, 16, FTW_DEPTH | FTW_PHYS);
    }
    std::string path(const char *rel) const { return dir + "/" + rel; }
    std::vector<unsigned char> flash(const char *name = "tolvi0") const
    {
        std::vector<unsigned char> bytes(kTolviFlashSize + 1);
        FILE *f = fopen((dir + "/tolvi/" + name + ".flash").c_str(), "rb");
        size_t n = f ? fread(bytes.data(), 1, bytes.size(), f) : 0;
        if (f)
            fclose(f);
        bytes.resize(n);
        return bytes;
    }
};

// A control request in the driver's wire layout.
inline std::vector<unsigned char> makeRequest(uint8_t opcode, uint8_t write, uint32_t address,
                                              uint16_t length, uint32_t cls = 1)
{
    std::vector<unsigned char> r(kReqSize, 0);
    putLe32(&r[kReqClass], cls);
    r[kReqWrite] = write;
    r[kReqOpcode] = opcode;
    putLe16(&r[kReqAddrHigh], (uint16_t)(address >> 16));
    putLe16(&r[kReqAddrLow], (uint16_t)(address & 0xFFFF));
    putLe16(&r[kReqLength], length);
    return r;
}
inline std::vector<unsigned char> readReq(uint32_t a) { return makeRequest(kReqRead, 0, a, 256); }
inline std::vector<unsigned char> programReq(uint32_t a, unsigned char fill)
{
    std::vector<unsigned char> r = makeRequest(kReqProgram, 1, a, 256);
    memset(&r[kReqData], fill, 256);
    return r;
}
inline std::vector<unsigned char> eraseReq(unsigned block)
{
    return makeRequest(kReqErase, 1, block, 0);
}

// Runs "cvsim tolvi ARGS..." and returns its exit status.
inline int runTolvi(std::initializer_list<std::string> args)
{
    std::vector<std::string> store = {"tolvi"};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return cvsimTolviMain((int)store.size(), argv.data());
}
