// Menu: erase and program flows driven by a script on standard input,
// against an emulated device.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "blocks.h"
#include "cmdline.h"
#include "fake_tolvi.h"
#include "hexload.h"
#include "menu.h"

namespace {

struct MenuRun {
    int status;
    std::string out;
};

MenuRun runMenu(const std::string &script)
{
    feedStdin(script);
    testing::internal::CaptureStdout();
    int status = menuLoop();
    return {status, testing::internal::GetCapturedStdout()};
}

bool has(const std::string &out, const std::string &text)
{
    return out.find(text) != std::string::npos;
}

int occurrences(const std::string &out, const std::string &text)
{
    int n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
        n++;
    return n;
}

// A HEX file that the Program command loads: `size` data bytes (pattern
// i*7+1) from image address `from`, with an image header at 0 when from
// is 0; or the text given.
class ImageFile {
public:
    explicit ImageFile(const std::string &text) { create(text); }
    explicit ImageFile(uint32_t size, uint32_t from = 0)
    {
        std::string text;
        uint32_t segment = ~0u;
        for (uint32_t a = from; a < from + size;) {
            uint32_t n = std::min<uint32_t>(32, from + size - a);
            if ((a >> 16) != segment)
                text += hexRecord(4, 0, {0, uint8_t(segment = a >> 16)});
            if (((a + n - 1) >> 16) != (a >> 16))
                n = 0x10000 - (a & 0xFFFF);
            std::vector<uint8_t> data;
            for (uint32_t i = 0; i < n; i++)
                data.push_back(byteAt(a + i, size));
            text += hexRecord(0, a & 0xFFFF, data);
            a += n;
        }
        text += ":00000001FF\n";
        create(text);
    }
    ~ImageFile() { unlink(path_); }
    static uint8_t byteAt(uint32_t a, uint32_t size)
    {
        if (a < 28) {
            const uint8_t hdr[28] = {0x5E, 0xBA, 0xDE, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 1,
                                     uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), 0};
            return hdr[a];
        }
        return uint8_t(a * 7 + 1);
    }

private:
    void create(const std::string &text)
    {
        std::snprintf(path_, sizeof path_, "/tmp/ctflash_imgXXXXXX");
        int fd = mkstemp(path_);
        if (write(fd, text.data(), text.size()) != (ssize_t)text.size())
            ADD_FAILURE() << "short write";
        close(fd);
        std::snprintf(g_szImageFile, sizeof g_szImageFile, "%s", path_);
    }
    char path_[64];
};

const char *kMenu =
    "\nCorvane Tolvi CTFlash Version 2.0.3\n"
    "Built for version 2.1.6 of the Corvane Tolvi driver\n\n"
    "C..............Check\n\n"
    "E..............Erase\n\n"
    "P..............Program\n\n"
    "Select C, E or P. Q to Quit\n";

TEST(Menu, KeysAndEndOfInput)
{
    installFakeTolvi();
    const struct {
        const char *script;
        int menus;
    } cases[] = {{"q", 1}, {"Q", 1}, {"\033", 1}, {"", 1}, {"xz", 3}, {"x\nQc", 3}};
    for (const auto &c : cases) {
        MenuRun r = runMenu(c.script);
        EXPECT_EQ(r.status, 1) << c.script;
        EXPECT_EQ(occurrences(r.out, kMenu), c.menus) << c.script;
    }
    MenuRun r = runMenu("c q");
    EXPECT_EQ(r.out.substr(0, strlen(kMenu)), kMenu);
    EXPECT_EQ(occurrences(r.out, "Block\tAddress"), 1);
    EXPECT_EQ(occurrences(r.out, kMenu), 3);
    EXPECT_EQ(runMenu("cq").status, 1);
}

TEST(Erase, RefusalsAndProtection)
{
    FakeTolvi &dev = installFakeTolvi();
    MenuRun r = runMenu("e5\nkq");
    EXPECT_TRUE(has(r.out, "Enter Block to Erase (0...10): Blocks 0 - 5 are protected and cannot be erased!\n\n"
                           "Press any key to contunue\n"));
    EXPECT_EQ(g_answer, 'k');
    EXPECT_EQ(occurrences(r.out, kMenu), 2);  // 'q' reached the menu

    r = runMenu("e11\n\nq");
    EXPECT_TRUE(has(r.out, "Invalid block number - press return\n\n"));
    EXPECT_EQ(occurrences(r.out, kMenu), 2);

    r = runMenu("e7\nq");
    EXPECT_TRUE(has(r.out, "ERROR - Can't erase this block\n"));
    r = runMenu("ex7\nq");  // no number: back to the menu, rest of line dropped
    EXPECT_EQ(occurrences(r.out, kMenu), 2);
    EXPECT_FALSE(has(r.out, "ERROR"));
    EXPECT_EQ(dev.count(REQ_ERASE), 0);
}

TEST(Erase, AskedOnceForTwoBlockImage)
{
    FakeTolvi &dev = installFakeTolvi();
    dev.putHeader(0x30000, 70000);
    dev.put(0x4FFFF, {0});
    MenuRun r = runMenu("e6\nyq");
    EXPECT_TRUE(has(r.out, "Checking block 6\nBlock state is used, do you really want to erase (Y/N)?\n"
                           "Erasing FLASH (block 6 @ 0x00030000)\nSuccess\n\n"
                           "Checking block 7\nErasing FLASH (block 7 @ 0x00040000)\nSuccess\n\n"))
        << r.out;
    EXPECT_EQ(dev.count(REQ_ERASE), 2);
    EXPECT_EQ(dev.flash[0x30000], 0xFF);
    EXPECT_EQ(dev.flash[0x4FFFF], 0xFF);
    EXPECT_EQ(blockStatus[6], BLOCK_FREE);
    EXPECT_EQ(blockStatus[7], BLOCK_FREE);
}

TEST(Erase, AbortExpertAndFailure)
{
    FakeTolvi &dev = installFakeTolvi();
    dev.putHeader(0x50000, 100);
    MenuRun r = runMenu("e8\nnq");
    EXPECT_TRUE(has(r.out, "Block state is used, do you really want to erase (Y/N)?\n ABORTED\n"));
    EXPECT_EQ(dev.count(REQ_ERASE), 0);

    dev.put(0x40000, {1, 2, 3});  // no header: expert mode only
    expert = 1;
    r = runMenu("e7\nYq");
    EXPECT_TRUE(has(r.out, "Success\n"));
    EXPECT_EQ(dev.flash[0x40000], 0xFF);
    expert = 0;

    dev.failOpcode = REQ_ERASE, dev.failFrom = 8, dev.failTo = 9;
    r = runMenu("e8\nyq");
    EXPECT_TRUE(has(r.out, "Erasing FLASH (block 8 @ 0x00050000)\n"
                           "IoctlCodeCorvaneControlRequest failed with error 0x5\n"));
    EXPECT_EQ(blockStatus[8], BLOCK_UNKNOWN);
}

TEST(Program, StateRefusals)
{
    FakeTolvi &dev = installFakeTolvi();
    ImageFile img(1000);
    MenuRun r = runMenu("p7\nq");  // nothing listed yet
    EXPECT_TRUE(has(r.out, "Enter Block to Program (0...10): ERROR - Block is not available for programming \n"));
    r = runMenu("p3\n\nq");
    EXPECT_TRUE(has(r.out, "Blocks 0 - 5 are protected and cannot be programmed! - press return to continue\n\n"));
    r = runMenu("p12\n\nq");
    EXPECT_TRUE(has(r.out, "Invalid block number - press return to continue\n\n"));
    EXPECT_EQ(occurrences(r.out, kMenu), 2);

    dev.putHeader(0x30000, 100);
    r = runMenu("c p6\nq");
    EXPECT_TRUE(has(r.out, "ERROR - Block state is used and is not available for programming\n"));
    // A small image in 7 makes 8 the second block until the next listing.
    r = runMenu("p7\np8\nq");
    EXPECT_TRUE(has(r.out, "Verified 1024 bytes\n")) << r.out;
    EXPECT_TRUE(has(r.out, "ERROR - This is the second block of a two block image and cannot be used\n"));
    // Programmed block is no longer free: a second run on it is refused.
    r = runMenu("p7\nq");
    EXPECT_TRUE(has(r.out, "ERROR - Block state is used and is not available for programming\n"));
    EXPECT_EQ(dev.count(REQ_PROGRAM), 512);
}

TEST(Program, WritesWholeBufferAndVerifies)
{
    FakeTolvi &dev = installFakeTolvi();
    ImageFile img(45312);
    MenuRun r = runMenu("c p6\nq");
    EXPECT_TRUE(has(r.out, "Programming FLASH from (block 6 @ 0x00030000)\nFile to open is ")) << r.out;
    EXPECT_TRUE(has(r.out, "FLASH used\t\t45312 bytes\n" + std::string(128, '=') + "\nVerified 45312 bytes\n"))
        << r.out;
    EXPECT_EQ(dev.count(REQ_PROGRAM), 512);
    EXPECT_EQ(dev.invalid, 0);
    for (uint32_t a = 0; a < 45312; a++)
        ASSERT_EQ(dev.flash[0x30000 + a], ImageFile::byteAt(a, 45312)) << a;
    EXPECT_EQ(dev.flash[0x30000 + 45312], 0xFF);
    EXPECT_EQ(blockStatus[7], BLOCK_SECOND);
    r = runMenu("c q");
    EXPECT_TRUE(has(r.out, " 6\t0x30000\t45312\t1.0.0.3\t\033[0;31;47mused"));
}

TEST(Program, BlockTenStopsAtEndOfFlash)
{
    FakeTolvi &dev = installFakeTolvi();
    ImageFile img(0x10000);  // exactly 64 KB passes the space check
    MenuRun r = runMenu("c p10\nq");
    EXPECT_TRUE(has(r.out, std::string(64, '=') + "\nVerified 65536 bytes\n")) << r.out;
    EXPECT_FALSE(has(r.out, "Not enough space"));
    EXPECT_EQ(dev.count(REQ_PROGRAM), 256);
    EXPECT_EQ(dev.invalid, 0);
    EXPECT_EQ(dev.flash[0x7FFFF], ImageFile::byteAt(0xFFFF, 0x10000));
}

TEST(Program, SpaceChecks)
{
    FakeTolvi &dev = installFakeTolvi();
    dev.putHeader(0x50000, 10);  // block 8 used
    {
        ImageFile img(0x10001);
        MenuRun r = runMenu("c p10\np7\nq");
        EXPECT_TRUE(has(r.out, "\nERROR - Not enough space for image, please choose a smaller block number\n"));
        EXPECT_TRUE(has(r.out, "\nERROR - Not enough space for image, please ensure two contiguous blocks free\n"));
    }
    {
        // Few bytes, but beyond the first 64 KB: they would land in block 8.
        ImageFile img(16, 0x1FF00);
        MenuRun r = runMenu("p7\nq");
        EXPECT_TRUE(has(r.out, "please ensure two contiguous blocks free\n")) << r.out;
    }
    EXPECT_EQ(dev.count(REQ_PROGRAM), 0);
    {
        ImageFile img(0x18000);  // two blocks into 6 and 7
        MenuRun r = runMenu("p6\nq");
        EXPECT_TRUE(has(r.out, "Verified 98304 bytes\n")) << r.out;
        EXPECT_EQ(dev.flash[0x47FFF], ImageFile::byteAt(0x17FFF, 0x18000));
    }
}

TEST(Program, VerifyCatchesWhatWasNotWritten)
{
    FakeTolvi &dev = installFakeTolvi();
    ImageFile img(300);
    MenuRun r = runMenu("c q");
    dev.flash[0x60105] = 0x00;  // changed after the listing: not really free
    dev.flash[0x601F0] = 0x00;  // beyond the file's bytes, in a chunk it filled
    r = runMenu("p9\nq");
    EXPECT_TRUE(has(r.out, "\nERROR - verify failed at 0x00060105: expected 0x24, found 0x00 (2 bytes differ)\n"))
        << r.out;
    EXPECT_FALSE(has(r.out, "Verified"));

    installFakeTolvi();
    g_fake->ignoreProgram = 1;
    r = runMenu("c p9\nq");
    EXPECT_TRUE(has(r.out, "ERROR - verify failed at 0x00060000: expected 0x5E, found 0xFF (")) << r.out;
}

TEST(Program, FailuresStopTheRun)
{
    FakeTolvi &dev = installFakeTolvi();
    ImageFile img(2000);
    dev.failOpcode = REQ_PROGRAM, dev.failFrom = 0x30800, dev.failTo = 0x30900;
    MenuRun r = runMenu("c p6\nq");
    EXPECT_TRUE(has(r.out, "==IoctlCodeCorvaneControlRequest failed with error 0x5\n\n")) << r.out;
    EXPECT_FALSE(has(r.out, "Verified"));
    EXPECT_EQ(dev.count(REQ_PROGRAM), 9);

    dev.failOpcode = REQ_READ, dev.failFrom = 0x50000, dev.failTo = 0x50100;
    r = runMenu("p8\nq");  // 8 still free from the listing; the read back fails
    EXPECT_TRUE(has(r.out, "Failed to read image header for block 8\n")) << r.out;
    EXPECT_TRUE(has(r.out, "IoctlCodeCorvaneControlRequest failed with error 0x5\n"
                           "ERROR - verify could not read 0x00050000\n")) << r.out;
}

TEST(Program, DamagedOrMissingFileProgramsNothing)
{
    FakeTolvi &dev = installFakeTolvi();
    snprintf(g_szImageFile, sizeof g_szImageFile, "/nonexistent/x.hex");
    MenuRun r = runMenu("c p6\nq");
    EXPECT_TRUE(has(r.out, "ERROR - could not open file\n"));
    EXPECT_EQ(blockStatus[7], BLOCK_FREE);

    ImageFile img(":0400000001020304F2\n:0400000001020304F3\n");
    r = runMenu("p6\nq");
    EXPECT_TRUE(has(r.out, "ERROR - bad checksum on line 2\n")) << r.out;
    EXPECT_EQ(dev.count(REQ_PROGRAM), 0);
    EXPECT_EQ(occurrences(r.out, kMenu), 2);
}

TEST(Program, AddressOutOfRangeEndsTheProgram)
{
    FakeTolvi &dev = installFakeTolvi();
    ImageFile img(":020000040002F8\n:0100000055AA\n");
    MenuRun r = runMenu("c p6\nc");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "ERROR - address out of range\n"));
    EXPECT_EQ(occurrences(r.out, "Block\tAddress"), 1);  // the second 'c' never ran
    EXPECT_EQ(dev.count(REQ_PROGRAM), 0);
}

}  // namespace
