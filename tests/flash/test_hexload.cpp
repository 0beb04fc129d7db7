// HEX loader: records, offsets, summary, and refusal of damaged files.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_tolvi.h"
#include "hexload.h"

namespace {

const std::string kEof = ":00000001FF\n";

struct Load {
    int rc;
    std::string out;
};

Load load(const std::string &text)
{
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    testing::internal::CaptureStdout();
    int rc = loadImageStream(f);
    std::string out = testing::internal::GetCapturedStdout();
    fclose(f);
    return {rc, out};
}

std::vector<uint8_t> seq(int n, int from = 0)
{
    std::vector<uint8_t> v;
    for (int i = 0; i < n; i++)
        v.push_back(uint8_t(from + i));
    return v;
}

TEST(Extract, DigitsOfBothCases)
{
    const char *line = ":10aBcD0F";
    EXPECT_EQ(extract(line, 1, 2), 0x10);
    EXPECT_EQ(extract(line, 3, 4), 0xAB);
    EXPECT_EQ(extract(line, 3, 6), 0xABCD);
    EXPECT_EQ(extract(line, 7, 8), 0x0F);
    EXPECT_EQ(extract(line, 5, 4), 0);
}

TEST(HexLoad, RecordTypesAndOffsets)
{
    std::string text = hexRecord(0, 0x0000, seq(16)) +
                       hexRecord(3, 0, {0x12, 0x34, 0x56, 0x78}) +  // start segment: no effect
                       hexRecord(5, 0, {0, 0, 0x10, 0}) +           // start linear: no effect
                       hexRecord(2, 0, {0x10, 0x00}) +              // segment 0x1000 -> 0x10000
                       hexRecord(0, 0x0010, {0xA1, 0xA2}) +
                       hexRecord(4, 0, {0x00, 0x01}) +              // linear 1 -> 0x10000
                       hexRecord(0, 0xFFF0, seq(16, 0x40)) +
                       kEof +
                       hexRecord(4, 0, {0x00, 0x00}) +
                       hexRecord(0, 0x0100, {0x55});                // after end of file: still loaded
    Load l = load(text);
    ASSERT_EQ(l.rc, LOAD_OK) << l.out;
    EXPECT_EQ(l.out, "");
    EXPECT_EQ(memcmp(g_imageBuf, seq(16).data(), 16), 0);
    EXPECT_EQ(g_imageBuf[16], 0xFF);
    EXPECT_EQ(g_imageBuf[0x10010], 0xA1);
    EXPECT_EQ(g_imageBuf[0x10011], 0xA2);
    EXPECT_EQ(memcmp(g_imageBuf + 0x1FFF0, seq(16, 0x40).data(), 16), 0);
    EXPECT_EQ(g_imageBuf[0x100], 0x55);
    EXPECT_EQ(g_imageBytes, 16 + 2 + 16 + 1);
    EXPECT_EQ(g_imageMinAddress, 0u);
    EXPECT_EQ(g_imageMaxAddress, 0x1FFFFu);
    EXPECT_EQ(g_chunkFilled[0], 1);
    EXPECT_EQ(g_chunkFilled[1], 1);
    EXPECT_EQ(g_chunkFilled[2], 0);
    EXPECT_EQ(g_chunkFilled[0x100], 1);
    EXPECT_EQ(g_chunkFilled[0x1FF], 1);
}

TEST(HexLoad, OverlapsCountTwiceAndLaterBytesWin)
{
    Load l = load(hexRecord(0, 0x20, {1, 2, 3}) + hexRecord(0, 0x21, {9, 9}) + kEof);
    ASSERT_EQ(l.rc, LOAD_OK);
    EXPECT_EQ(g_imageBytes, 5);
    EXPECT_EQ(g_imageBuf[0x20], 1);
    EXPECT_EQ(g_imageBuf[0x21], 9);
    EXPECT_EQ(g_imageMinAddress, 0x20u);
    EXPECT_EQ(g_imageMaxAddress, 0x22u);
}

TEST(HexLoad, AddressBeyondImageIsRangeError)
{
    Load l = load(hexRecord(4, 0, {0, 1}) + hexRecord(0, 0xFFF1, seq(16)) + kEof);
    EXPECT_EQ(l.rc, LOAD_RANGE);
    EXPECT_EQ(l.out, "ERROR - address out of range\n");
    l = load(hexRecord(4, 0, {0, 2}) + hexRecord(0, 0, {1}));
    EXPECT_EQ(l.rc, LOAD_RANGE);
}

TEST(HexLoad, UnsupportedTypeSkipsOnlyThatLine)
{
    Load l = load(hexRecord(6, 0, {}) + hexRecord(0, 0, {7}) + hexRecord(9, 0, {1, 2}) + kEof);
    EXPECT_EQ(l.rc, LOAD_OK);
    EXPECT_EQ(l.out, "ERROR - unsupported record type\nERROR - unsupported record type\n");
    EXPECT_EQ(g_imageBuf[0], 7);
}

TEST(HexLoad, ZeroLengthDataRecordHasNoEffect)
{
    Load l = load(hexRecord(0, 0x0000, {}) + kEof);
    EXPECT_EQ(l.rc, LOAD_OK);
    EXPECT_EQ(g_imageBytes, 0);
    EXPECT_EQ(g_imageMinAddress, 0x1FFFFu);
    EXPECT_EQ(g_imageMaxAddress, 0u);
    // Not even after an offset that puts it beyond the buffer.
    l = load(hexRecord(4, 0, {0, 9}) + hexRecord(0, 0x1234, {}) + kEof);
    EXPECT_EQ(l.rc, LOAD_OK);
}

TEST(HexLoad, LowerCaseCrlfBlankLinesAndLongRecords)
{
    std::string lower = hexRecord(0, 0x0A0B, {0xAB, 0xCD, 0xEF});
    for (auto &c : lower)
        c = (char)tolower(c);
    std::string crlf = hexRecord(0, 0x10, {0x5A});
    crlf.insert(crlf.size() - 1, "\r");
    Load l = load(lower + "\n\r\n" + crlf + hexRecord(0, 0x1000, seq(255)) + kEof);
    ASSERT_EQ(l.rc, LOAD_OK) << l.out;
    EXPECT_EQ(g_imageBuf[0x0A0B], 0xAB);
    EXPECT_EQ(g_imageBuf[0x0A0D], 0xEF);
    EXPECT_EQ(g_imageBuf[0x10], 0x5A);
    EXPECT_EQ(memcmp(g_imageBuf + 0x1000, seq(255).data(), 255), 0);
    EXPECT_EQ(g_imageBytes, 3 + 1 + 255);
}

TEST(HexLoad, DamagedLinesAbandonTheLoadNamingTheLine)
{
    std::string good = hexRecord(0, 0, {1, 2});
    std::string badSum = good;
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    std::string longCount = good;
    longCount[2] = '3';  // count 3, two bytes present
    const struct {
        std::string line;
        const char *message;
    } cases[] = {
        {badSum, "ERROR - bad checksum on line 2\n"},
        {"020000000102FB\n", "ERROR - malformed record on line 2 (no start code)\n"},
        {":0200000001G2FB\n", "ERROR - malformed record on line 2 (not a hex digit)\n"},
        {":020000000102F\n", "ERROR - malformed record on line 2 (odd number of digits)\n"},
        {longCount, "ERROR - malformed record on line 2 (byte count does not match the line)\n"},
        {":FF000000\n", "ERROR - malformed record on line 2 (byte count does not match the line)\n"},
        {":\n", "ERROR - malformed record on line 2 (byte count does not match the line)\n"},
        {hexRecord(4, 0, {1}), "ERROR - malformed record on line 2 (byte count does not match the record type)\n"},
        {std::string(600, '0') + "\n", "ERROR - malformed record on line 2 (line too long)\n"},
        {std::string(":00000001FF\0", 12) + "\n", "ERROR - malformed record on line 2 (not a hex digit)\n"},
    };
    for (const auto &c : cases) {
        Load l = load(hexRecord(0, 0x40, {0x11}) + c.line + hexRecord(0, 0x80, {0x22}) + kEof);
        EXPECT_EQ(l.rc, LOAD_BAD) << c.line;
        EXPECT_EQ(l.out, c.message) << c.line;
        EXPECT_EQ(g_imageBuf[0x80], 0xFF) << "load went on after " << c.line;
    }
}

TEST(HexLoad, SummaryOfFile)
{
    char path[] = "/tmp/ctflash_hexXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    // An image header: checksum 0x11223344 at 4, start 0x00030000 at 24.
    std::vector<uint8_t> hdr(28, 0);
    hdr[4] = 0x44, hdr[5] = 0x33, hdr[6] = 0x22, hdr[7] = 0x11;
    hdr[26] = 0x03;
    std::string text = hexRecord(0, 0, hdr) + hexRecord(0, 0x2000, seq(4)) + kEof;
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
    testing::internal::CaptureStdout();
    int rc = loadImage(path);
    std::string out = testing::internal::GetCapturedStdout();
    unlink(path);
    EXPECT_EQ(rc, LOAD_OK);
    EXPECT_EQ(out, std::string("File to open is ") + path + "\nFile\t\t\t" + path +
                       "\nStart Address\t\t0x00030000\nChecksum\t\t0x11223344\n"
                       "FLASH minAddress\t0x00000000\nFLASH maxAddress\t0x00002003\n"
                       "FLASH used\t\t   32 bytes\n");

    testing::internal::CaptureStdout();
    rc = loadImage("/nonexistent/ct_image.hex");
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, LOAD_NO_FILE);
    EXPECT_EQ(out, "File to open is /nonexistent/ct_image.hex\nERROR - could not open file\n");
}

TEST(HexLoad, EmptyImageSummary)
{
    Load l = load(kEof);
    EXPECT_EQ(l.rc, LOAD_OK);
    EXPECT_EQ(g_imageBytes, 0);
    EXPECT_EQ(g_imageMinAddress, 0x1FFFFu);
    for (size_t i = 0; i < kImageSize; i++)
        ASSERT_EQ(g_imageBuf[i], 0xFF);
    // A directory opens but cannot be read: refused, not an empty image.
    testing::internal::CaptureStdout();
    int rc = loadImage("/tmp");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, LOAD_BAD) << out;
}

}  // namespace
