// Record headers must land where the monitor reads them, in either layout.
#include <gtest/gtest.h>

#include "record.h"

TEST(Record, FieldsAtTheMonitorsOffsets)
{
    struct Case {
        const RecordLayout *lay;
        size_t seqAt, tsAt, lenAt, size;
    } cases[] = {{&kLayout32, 4, 8, 12, 16}, {&kLayout64, 4, 8, 16, 24}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lay->bits);
        uint8_t buf[32];
        memset(buf, 0xEE, sizeof buf);
        RecordHeader h = {kDirTx, 0x11223344u, 0x55667788u, 100};
        encodeHeader(*c.lay, h, buf);
        EXPECT_EQ(c.lay->headerSize, c.size);
        EXPECT_EQ(buf[0], 0);
        EXPECT_EQ(buf[1], kDirTx);
        EXPECT_EQ(buf[2], 0);
        EXPECT_EQ(buf[3], 0);
        EXPECT_EQ(buf[c.seqAt], 0x44); // little-endian
        EXPECT_EQ(buf[c.seqAt + 3], 0x11);
        EXPECT_EQ(buf[c.tsAt], 0x88);
        EXPECT_EQ(buf[c.lenAt], 100);
        EXPECT_EQ(buf[c.lenAt + 1], 0);
        EXPECT_EQ(buf[c.size], 0xEE) << "header overran";
        if (c.lay->bits == 64) {
            for (size_t i = 12; i < 16; i++)
                EXPECT_EQ(buf[i], 0) << "high time stamp bytes";
            for (size_t i = 20; i < 24; i++)
                EXPECT_EQ(buf[i], 0) << "alignment bytes";
        }
    }
}

TEST(Record, TimeStampWidthAndRoundTrip)
{
    RecordHeader h = {7, 0xFFFFFFFFu, 0x1'0000'0005ull, 4096}, back;
    uint8_t buf[24];
    encodeHeader(kLayout64, h, buf);
    ASSERT_TRUE(decodeHeader(kLayout64, buf, sizeof buf, &back));
    EXPECT_EQ(back.timeStamp, h.timeStamp);
    EXPECT_EQ(back.seq, h.seq);
    EXPECT_EQ(back.direction, 7);
    EXPECT_EQ(back.length, 4096u);

    // The 32-bit layout keeps only the low 32 bits: the driver's counter wraps.
    encodeHeader(kLayout32, h, buf);
    ASSERT_TRUE(decodeHeader(kLayout32, buf, 16, &back));
    EXPECT_EQ(back.timeStamp, 5u);
    EXPECT_EQ(back.length, 4096u);
    EXPECT_FALSE(decodeHeader(kLayout32, buf, 15, &back));
}

TEST(Record, LayoutLookupAndHash)
{
    EXPECT_EQ(layoutFor(32), &kLayout32);
    EXPECT_EQ(layoutFor(64), &kLayout64);
    EXPECT_EQ(layoutFor(16), nullptr);
    // FNV-1a 64 reference values, which the end-to-end tests compute too.
    EXPECT_EQ(frameHash(nullptr, 0), 0xcbf29ce484222325ull);
    const uint8_t a[] = {'a'};
    EXPECT_EQ(frameHash(a, 1), 0xaf63dc4c8601ec8cull);
}
