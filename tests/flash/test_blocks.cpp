// Block map: the layout, the block-count rules, the header read and the
// listing, against an emulated device.
#include <string>

#include <gtest/gtest.h>

#include "blocks.h"
#include "fake_tolvi.h"

namespace {

const std::string kFree = "\033[0;32;47mfree\t\033[0;30;0m";
const std::string kUsed = "\033[0;31;47mused\t\033[0;30;0m";
const std::string kHeading = "Block\tAddress\tLength\tVersion\tStatus\tAttribute\n";

std::string listing()
{
    testing::internal::CaptureStdout();
    listFlashBlocks();
    return testing::internal::GetCapturedStdout();
}

TEST(BlockTable, StartsUnknownOnImageBoundaries)
{
    for (int b = 0; b < kBlockCount; b++)
        EXPECT_EQ(blockStatus[b], BLOCK_UNKNOWN) << b;
    // Every walk in 256-byte chunks hits each block start, and the image
    // blocks start on 64 KB boundaries (where the listing reads headers).
    for (int b = kLastProtectedBlock + 1; b < kBlockCount; b++)
        EXPECT_EQ(flashBlockAddress[b] % kImageBlockSize, 0u) << b;
}

TEST(BlockCount, HeaderReadAndListingRules)
{
    const struct {
        uint32_t length;
        int header;   // blocks per the header read
        int listing;  // 1 when the listing spans two blocks
    } cases[] = {
        {0, 1, 0},          {0xFFFF, 1, 0},      {0x10000, 2, 0},     {0x10001, 2, 1},
        {0x1FFFF, 2, 1},    {0x20000, 1, 1},     {0xFFFFFFFF, 1, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(headerBlockCount(6, c.length), c.header) << c.length;
        EXPECT_EQ(listingSpansTwo(6, c.length), c.listing) << c.length;
        // There is no block after block 10.
        EXPECT_EQ(headerBlockCount(10, c.length), 1) << c.length;
        EXPECT_EQ(listingSpansTwo(10, c.length), 0) << c.length;
    }
}

TEST(HeaderRead, CountsAndMarks)
{
    FakeTolvi &dev = installFakeTolvi();
    dev.putHeader(0x30000, 70000);
    dev.putHeader(0x50000, 65536);
    dev.putHeader(0x60000, 1000);
    dev.putHeader(0x70000, 0x18000);  // claims a block after the last
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_flash_header(6), 2);
    EXPECT_EQ(blockStatus[6], BLOCK_USED);
    EXPECT_EQ(blockStatus[7], BLOCK_SECOND);
    EXPECT_EQ(check_flash_header(8), 2);
    EXPECT_EQ(check_flash_header(9), 1);
    EXPECT_EQ(blockStatus[10], BLOCK_UNKNOWN);
    EXPECT_EQ(check_flash_header(10), 1);
    EXPECT_EQ(blockStatus[10], BLOCK_USED);
    EXPECT_EQ(flashAddress, 0x70000u);
    EXPECT_EQ(flashEndAddress, 0x80000u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(dev.invalid, 0);
}

TEST(HeaderRead, NoHeaderAndFailures)
{
    FakeTolvi &dev = installFakeTolvi();
    dev.put(0x40010, {0});  // data but no header
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_flash_header(7), -1);
    EXPECT_EQ(blockStatus[7], BLOCK_UNKNOWN);
    expert = 1;  // expert mode takes whatever is there
    EXPECT_EQ(check_flash_header(7), 1);
    EXPECT_EQ(blockStatus[7], BLOCK_USED);
    expert = 0;
    dev.putHeader(0x50000, 10);
    dev.failOpcode = REQ_READ, dev.failFrom = 0x50000, dev.failTo = 0x50100;
    EXPECT_EQ(check_flash_header(8), -1);
    EXPECT_EQ(blockStatus[8], BLOCK_UNKNOWN);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Failed to read image header for block 8\n");
}

TEST(Listing, RowsByteForByte)
{
    FakeTolvi &dev = installFakeTolvi();
    dev.put(0x00000, {0x12});         // block 0: data, no header
    dev.putHeader(0x10000, 0x1234, 0x04030201);
    dev.putHeader(0x30000, 45312, 0x01000003);
    dev.put(0x30000 + 45311, {0});
    dev.putHeader(0x50000, 70000, 0x02000000);  // two blocks: 8 and 9
    dev.put(0x6FFFF, {0x00});                   // last byte of block 9
    dev.put(0x7ABCD, {0x7F});                   // block 10: one stray byte
    std::string out = listing();
    std::string want = kHeading +
        " 0\t0x00000\t0\t . . . \t" + kUsed + "r-x-\n" +
        " 1\t0x04000\t0\t . . . \t" + kFree + "r---\n" +
        " 2\t0x06000\t0\t . . . \t" + kFree + "r---\n" +
        " 3\t0x08000\t0\t . . . \t" + kFree + "r-x-\n" +
        " 4\t0x10000\t4660\t4.3.2.1\t" + kUsed + "r-x-\n" +
        " 5\t0x20000\t0\t . . . \t" + kFree + "r-x-\n" +
        " 6\t0x30000\t45312\t1.0.0.3\t" + kUsed + "rwxd\n" +
        " 7\t0x40000\t0\t . . . \t" + kFree + "rwxd\n" +
        " 8\t0x50000\t70000\t2.0.0.0\t" + kUsed + "rwxd\n" +
        "10\t0x70000\t0\t . . . \t" + kUsed + "rwxd\n\n";
    EXPECT_EQ(out, want);
    EXPECT_EQ(dev.count(REQ_READ), 2048);
    EXPECT_EQ(blockStatus[7], BLOCK_FREE);
    EXPECT_EQ(blockStatus[9], BLOCK_UNKNOWN);  // second block keeps its state
}

TEST(Listing, EdgeLengthsAndBlockTen)
{
    FakeTolvi &dev = installFakeTolvi();
    dev.putHeader(0x00000, 0x100, 0x01020304);   // blocks 1-3 show block 0's version
    dev.putHeader(0x30000, 65536);               // one row at exactly 64 KB
    dev.putHeader(0x60000, 0x20000);             // two rows' worth: 9 and 10
    std::string out = listing();
    EXPECT_NE(out.find(" 2\t0x06000\t0\t1.2.3.4\t" + kFree), std::string::npos) << out;
    EXPECT_NE(out.find(" 7\t0x40000\t0\t . . . \t" + kFree), std::string::npos) << out;
    EXPECT_NE(out.find(" 9\t0x60000\t131072\t"), std::string::npos) << out;
    EXPECT_EQ(out.find("\n10\t"), std::string::npos) << out;

    dev = FakeTolvi();
    dev.putHeader(0x70000, 0x18000);  // block 10 claims two blocks
    out = listing();
    EXPECT_NE(out.find("10\t0x70000\t98304\t1.0.0.3\t" + kUsed + "rwxd\n\n"), std::string::npos) << out;
    EXPECT_EQ(dev.invalid, 0);  // nothing asked beyond the flash
    EXPECT_EQ(dev.count(REQ_READ), 2048);
}

TEST(Listing, FailedReadLeavesBlockUnknownUnlessSeenUsed)
{
    const std::string kUnknown = "\033[0;33;47munknown\t\033[0;30;0m";
    const struct {
        uint32_t failFrom;  // one chunk whose read fails
        int block;
        int state;
        std::string row;
    } cases[] = {
        {0x40000, 7, BLOCK_UNKNOWN, " 7\t0x40000\t0\t . . . \t" + kUnknown + "rwxd\n"},  // first read
        {0x6FF00, 9, BLOCK_UNKNOWN, " 9\t0x60000\t0\t . . . \t" + kUnknown + "rwxd\n"},  // last read
        {0x50100, 8, BLOCK_USED, " 8\t0x50000\t0\t . . . \t" + kUsed + "rwxd\n"},        // data seen first
    };
    for (const auto &c : cases) {
        FakeTolvi &dev = installFakeTolvi();
        dev.putHeader(0x40000, 0x100);
        dev.put(0x50000, {0});
        dev.failOpcode = REQ_READ, dev.failFrom = c.failFrom, dev.failTo = c.failFrom + 0x100;
        dev.failErrno = 0x13;
        std::string out = listing();
        EXPECT_NE(out.find("IoctlCodeCorvaneControlRequest failed with error 0x13\n" + c.row), std::string::npos)
            << out;
        EXPECT_EQ(blockStatus[c.block], c.state) << c.block;
        EXPECT_EQ(blockStatus[10], BLOCK_FREE) << "the listing goes on";
        // A listing that reads the block in whole settles its state.
        dev.failOpcode = 0;
        listing();
        EXPECT_EQ(blockStatus[c.block], c.block == 9 ? BLOCK_FREE : BLOCK_USED) << c.block;
    }
}

}  // namespace
