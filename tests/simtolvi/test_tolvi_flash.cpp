// The simulated flash chip and driver: NOR behaviour, request checking,
// injected faults and the preload hooks.
#include "preload_hooks.h"
#include "tolvi_fault.h"
#include "tolvi_test_util.h"
#include <cerrno>
#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

class TolviDevice : public TolviDirTest {
protected:
    void SetUp() override
    {
        TolviDirTest::SetUp();
        ASSERT_EQ(tolviCreateDevice("tolvi0", nullptr, 1), kTolviOk);
    }
    int handle(std::vector<unsigned char> &req, const char *name = "tolvi0")
    {
        return tolviHandleRequest(dir.c_str(), name, req.data());
    }
};

TEST_F(TolviDevice, NorProgramOnlyClearsBitsAndEraseRestoresTheWholeBlock)
{
    std::vector<unsigned char> p1 = programReq(0x40000, 0xF0), p2 = programReq(0x40000, 0x3C);
    ASSERT_EQ(handle(p1), 0);
    ASSERT_EQ(handle(p2), 0);
    std::vector<unsigned char> r = readReq(0x40000);
    ASSERT_EQ(handle(r), 0);
    EXPECT_EQ(r[kReqData], 0x30);
    EXPECT_EQ(r[kReqData + 255], 0x30);

    // Fill blocks 0-2 with zeros, erase block 1: only its bytes return to 0xFF.
    for (uint32_t a = 0; a < tolviBlockAddress[3]; a += 256) {
        std::vector<unsigned char> z = programReq(a, 0x00);
        ASSERT_EQ(handle(z), 0);
    }
    std::vector<unsigned char> e = eraseReq(1);
    ASSERT_EQ(handle(e), 0);
    std::vector<unsigned char> f = flash();
    ASSERT_EQ(f.size(), kTolviFlashSize);
    EXPECT_EQ(f[0x3FFF], 0x00);
    EXPECT_EQ(f[0x4000], 0xFF);
    EXPECT_EQ(f[0x5FFF], 0xFF);
    EXPECT_EQ(f[0x6000], 0x00);
    EXPECT_EQ(f[0x40000], 0x30) << "erasing block 1 touched block 7";
}

TEST_F(TolviDevice, ReadReturnsTheBytesAtTheAddressFromTheFile)
{
    std::vector<unsigned char> p = programReq(0x7FF00, 0x5A);
    ASSERT_EQ(handle(p), 0);
    std::vector<unsigned char> r = readReq(0x7FF00), before = readReq(0x7FE00);
    ASSERT_EQ(handle(r), 0);
    ASSERT_EQ(handle(before), 0);
    EXPECT_EQ(r[kReqData + 17], 0x5A);
    EXPECT_EQ(before[kReqData + 255], 0xFF);
    EXPECT_EQ(flash()[0x7FFFF], 0x5A) << "the file holds the state between processes";
}

TEST_F(TolviDevice, MalformedRequestsFailWithEinvalAndChangeNothing)
{
    struct Case {
        const char *what;
        std::vector<unsigned char> req;
    } cases[] = {
        {"unknown opcode", makeRequest(5, 1, 0x30000, 256)},
        {"opcode 0", makeRequest(0, 0, 0x30000, 256)},
        {"class 0", makeRequest(kReqProgram, 1, 0x30000, 256, 0)},
        {"program of 255 bytes", makeRequest(kReqProgram, 1, 0x30000, 255)},
        {"read of 512 bytes", makeRequest(kReqRead, 0, 0x30000, 512)},
        {"program without reqWrite", makeRequest(kReqProgram, 0, 0x30000, 256)},
        {"read with reqWrite", makeRequest(kReqRead, 1, 0x30000, 256)},
        {"unaligned program", makeRequest(kReqProgram, 1, 0x30080, 256)},
        {"program at the end", makeRequest(kReqProgram, 1, 0x80000, 256)},
        {"program beyond the end", makeRequest(kReqProgram, 1, 0x8FF00, 256)},
        {"read far beyond", makeRequest(kReqRead, 0, 0xFFFF0000, 256)},
        {"erase block 11", makeRequest(kReqErase, 1, 11, 0)},
        {"erase with length", makeRequest(kReqErase, 1, 6, 256)},
        {"erase without reqWrite", makeRequest(kReqErase, 0, 6, 0)},
        {"erase with high address", makeRequest(kReqErase, 1, 0x10006, 0)},
    };
    for (Case &c : cases) {
        if (c.req[kReqOpcode] == kReqProgram)
            memset(&c.req[kReqData], 0, 256);
        EXPECT_EQ(handle(c.req), EINVAL) << c.what;
    }
    std::vector<unsigned char> f = flash();
    EXPECT_EQ(f.size(), kTolviFlashSize);
    for (uint32_t a = 0x30000; a < 0x31000; ++a)
        ASSERT_EQ(f[a], 0xFF) << "a refused request changed the flash";
}

TEST_F(TolviDevice, UnknownOrUnsafeDeviceNamesFailWithEnodev)
{
    std::vector<unsigned char> r = readReq(0);
    for (const char *name : {"tolvi1", "", "..", "../tolvi/tolvi0", "tolvi0/x"})
        EXPECT_EQ(handle(r, name), ENODEV) << name;
}

TEST(TolviFault, MatchesRequestsThatTouchTheAddressOrBlock)
{
    TolviFault f;
    ASSERT_EQ(tolviParseFault("read 0x30180", &f), 0);
    EXPECT_EQ(f.err, EIO);
    TolviRequest r;
    std::vector<unsigned char> q = readReq(0x30100);
    ASSERT_EQ(tolviDecodeRequest(q.data(), &r), 0);
    EXPECT_TRUE(tolviFaultMatches(&f, &r));
    q = readReq(0x30200);
    ASSERT_EQ(tolviDecodeRequest(q.data(), &r), 0);
    EXPECT_FALSE(tolviFaultMatches(&f, &r));
    q = programReq(0x30100, 0);
    ASSERT_EQ(tolviDecodeRequest(q.data(), &r), 0);
    EXPECT_FALSE(tolviFaultMatches(&f, &r)) << "a read fault must not fail a program";

    ASSERT_EQ(tolviParseFault("program block:7 EPERM", &f), 0);
    EXPECT_EQ(f.err, EPERM);
    for (uint32_t a : {0x40000u, 0x4FF00u}) {
        q = programReq(a, 0);
        ASSERT_EQ(tolviDecodeRequest(q.data(), &r), 0);
        EXPECT_TRUE(tolviFaultMatches(&f, &r)) << a;
    }
    q = programReq(0x50000, 0);
    ASSERT_EQ(tolviDecodeRequest(q.data(), &r), 0);
    EXPECT_FALSE(tolviFaultMatches(&f, &r));

    // An erase touches every address of its block.
    ASSERT_EQ(tolviParseFault("erase 0x61234 28", &f), 0);
    q = eraseReq(9);
    ASSERT_EQ(tolviDecodeRequest(q.data(), &r), 0);
    EXPECT_TRUE(tolviFaultMatches(&f, &r));
    q = eraseReq(8);
    ASSERT_EQ(tolviDecodeRequest(q.data(), &r), 0);
    EXPECT_FALSE(tolviFaultMatches(&f, &r));
}

TEST(TolviFault, ParsesAndFormatsLines)
{
    TolviFault f;
    EXPECT_EQ(tolviParseFault("", &f), 1);
    EXPECT_EQ(tolviParseFault("  # comment", &f), 1);
    for (const char *bad : {"read", "write 0x100", "read 0x80000", "erase block:11",
                            "read 0x100 ENOPE", "read 0x100 0", "read 0x100 EIO x",
                            "read -1", "read block:", "read 12abc"})
        EXPECT_EQ(tolviParseFault(bad, &f), -1) << bad;
    ASSERT_EQ(tolviParseFault("erase block:10 ETIMEDOUT", &f), 0);
    char line[64];
    tolviFormatFault(&f, line, sizeof line);
    EXPECT_STREQ(line, "erase block:10 ETIMEDOUT");
    ASSERT_EQ(tolviParseFault("read 196864 77", &f), 0);
    tolviFormatFault(&f, line, sizeof line);
    EXPECT_STREQ(line, "read 0x30100 77");
}

TEST_F(TolviDevice, InjectedFaultsFailWithTheirErrnoAndLeaveTheFlash)
{
    ASSERT_EQ(runTolvi({"--dir", dir, "fault", "tolvi0", "program", "block:6", "EROFS"}), 0);
    ASSERT_EQ(runTolvi({"--dir", dir, "fault", "tolvi0", "erase", "block:8"}), 0);
    std::vector<unsigned char> p = programReq(0x3FF00, 0x00), e = eraseReq(8), r = readReq(0x3FF00);
    EXPECT_EQ(handle(p), EROFS);
    EXPECT_EQ(handle(e), EIO);
    EXPECT_EQ(handle(r), 0) << "only the faulted kind fails";
    EXPECT_EQ(flash()[0x3FF00], 0xFF);
    ASSERT_EQ(runTolvi({"--dir", dir, "fault", "tolvi0", "clear"}), 0);
    EXPECT_EQ(handle(p), 0);
    EXPECT_EQ(handle(e), 0);
}

TEST_F(TolviDevice, IoctlHookAnswersTheControlRequestOnSockets)
{
    std::vector<unsigned char> req = readReq(0);
    struct ifreq ifr = {};
    strcpy(ifr.ifr_name, "tolvi0");
    ifr.ifr_data = (char *)req.data();
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    int ret = 99;

    unsetenv("CVSIM_DIR");
    EXPECT_EQ(cvsim_tolvi_ioctl(sock, kTolviIoctl, &ifr, &ret), 0) << "simulator off";
    setenv("CVSIM_DIR", dir.c_str(), 1);
    EXPECT_EQ(cvsim_tolvi_ioctl(sock, 0x89FD, &ifr, &ret), 0) << "not the Tolvi request";

    req[kReqData] = 0x11;
    ASSERT_EQ(cvsim_tolvi_ioctl(sock, kTolviIoctl, &ifr, &ret), 1);
    EXPECT_EQ(ret, 0);
    EXPECT_EQ(req[kReqData], 0xFF);

    strcpy(ifr.ifr_name, "sync0");
    ASSERT_EQ(cvsim_tolvi_ioctl(sock, kTolviIoctl, &ifr, &ret), 1);
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(errno, ENODEV);

    int file = open(path("proc/cvtolvi").c_str(), O_RDONLY);
    ASSERT_GE(file, 0);
    ASSERT_EQ(cvsim_tolvi_ioctl(file, kTolviIoctl, &ifr, &ret), 1);
    EXPECT_EQ(errno, ENOTTY);
    ifr.ifr_data = nullptr;
    ASSERT_EQ(cvsim_tolvi_ioctl(sock, kTolviIoctl, &ifr, &ret), 1);
    EXPECT_EQ(errno, EFAULT);
    close(file);
    close(sock);
}

TEST(TolviPathHook, MapsOnlyTheDriversEntriesIntoTheSimulatorDirectory)
{
    char buf[256];
    unsetenv("CVSIM_DIR");
    EXPECT_EQ(cvsim_tolvi_path("/proc/cvtolvi", buf, sizeof buf), 0);
    setenv("CVSIM_DIR", "/sim", 1);
    struct {
        const char *path;
        const char *mapped;  // null: left alone
    } cases[] = {
        {"/proc/cvtolvi", "/sim/proc/cvtolvi"},
        {"/sys/class/cvtolvi/tolvi0", "/sim/sys/class/cvtolvi/tolvi0"},
        {"/sys/class/cvtolvi", "/sim/sys/class/cvtolvi"},
        {"/sys/class/cvtolvi/", "/sim/sys/class/cvtolvi/"},
        {"/sys/class/cvtolvi2/x", nullptr},
        {"/proc/cvtolvi2", nullptr},
        {"/sys/class/net/lo", nullptr},
        {"/sys/class/cvtolvi/../../../etc/passwd", nullptr},
        {"relative/proc/cvtolvi", nullptr},
    };
    for (const auto &c : cases) {
        int got = cvsim_tolvi_path(c.path, buf, sizeof buf);
        EXPECT_EQ(got, c.mapped ? 1 : 0) << c.path;
        if (got && c.mapped) {
            EXPECT_STREQ(buf, c.mapped);
        }
    }
    EXPECT_EQ(cvsim_tolvi_path("/proc/cvtolvi", buf, 17), 0) << "must not overflow";
    EXPECT_EQ(cvsim_tolvi_path("/proc/cvtolvi", buf, 18), 1);
}
