// Record decoding of both header versions, byte for byte, and the checks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "record.h"

namespace {

// A version 0 record written out by hand: seq 0x1234, 1700000000.042 s,
// gateway 7, line 3, Tx, 3 frame bytes.
const uint8_t kV0[] = {0x12, 0x34, 0, 0, 0, 0, 0x65, 0x53, 0xf1, 0x00, 0x00, 0x2a,
                       7,    3,    1, 0, 0, 3, 0xaa, 0xbb, 0xcc};

std::vector<uint8_t> withV1Marker(const uint8_t *p, size_t n)
{
    std::vector<uint8_t> v(n + 2);
    v[0] = 1;
    memcpy(v.data() + 2, p, n);
    return v;
}

TEST(CollectRecord, DecodesBothVersionsByteForByte)
{
    std::vector<uint8_t> v1 = withV1Marker(kV0, sizeof kV0);
    struct {
        const uint8_t *p;
        size_t n;
        int version;
    } cases[] = {{kV0, sizeof kV0, 0}, {v1.data(), v1.size(), 1}};
    for (auto &c : cases) {
        CvRecord r;
        ASSERT_EQ(decodeDatagram(c.p, c.n, c.version, kDefaultMaxFrame, &r), kRecOk);
        EXPECT_EQ(r.version, c.version);
        EXPECT_EQ(r.seqNo, 0x1234);
        EXPECT_EQ(r.stampSecs, 1700000000u);
        EXPECT_EQ(r.stampMsecs, 42);
        EXPECT_EQ(r.gwId, 7);
        EXPECT_EQ(r.lineNum, 3);
        EXPECT_EQ(r.txFlag, 1);
        EXPECT_EQ(r.frameLen, 3);
        EXPECT_EQ(r.recordLen, c.n);
        EXPECT_EQ(r.frame, c.p + hdrLen(c.version));
        EXPECT_EQ(r.frame[0], 0xaa);
    }
}

TEST(CollectRecord, EncodeWritesTheSameBytes)
{
    CvRecord r;
    ASSERT_EQ(decodeDatagram(kV0, sizeof kV0, 0, kDefaultMaxFrame, &r), kRecOk);
    uint8_t out[kHdrLenV1];
    encodeHeader(r, 0, out);
    EXPECT_EQ(memcmp(out, kV0, kHdrLenV0), 0);
    encodeHeader(r, 1, out);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(memcmp(out + 2, kV0, kHdrLenV0), 0);
}

TEST(CollectRecord, LargestValuesSurvive)
{
    CvRecord r = {};
    r.seqNo = 0xffff;
    r.stampSecs = 0xfedcba9876543210ull;
    r.stampMsecs = 999;
    r.gwId = r.lineNum = 0xff;
    r.frameLen = 0xffff;
    uint8_t b[kHdrLenV1];
    encodeHeader(r, 1, b);
    CvRecord d;
    ASSERT_EQ(decodeHeader(b, sizeof b, 1, 0xffff, &d), kRecOk);
    EXPECT_EQ(d.seqNo, 0xffff);
    EXPECT_EQ(d.stampSecs, 0xfedcba9876543210ull);
    EXPECT_EQ(d.frameLen, 0xffff);
    EXPECT_EQ(d.recordLen, kHdrLenV1 + 0xffff);
}

TEST(CollectRecord, RefusesBrokenRecords)
{
    struct Case {
        const char *what;
        int version;
        size_t at;      // byte to change (in the v0 bytes), or SIZE_MAX
        uint8_t value;
        int sizeDelta;  // bytes added (+) or cut (-) at the end
        RecordCheck want;
    } cases[] = {
        {"sound v0", 0, SIZE_MAX, 0, 0, kRecOk},
        {"header cut", 0, SIZE_MAX, 0, -4, kRecShort},
        {"one byte short of the frame", 0, SIZE_MAX, 0, -1, kRecSizeMismatch},
        {"one byte too many", 0, SIZE_MAX, 0, 1, kRecSizeMismatch},
        {"reserved set", 0, kOffReserved, 1, 0, kRecReserved},
        {"direction 2", 0, kOffTxFlag, 2, 0, kRecTxFlag},
        {"1000 ms", 0, kOffStampMsecs + 1, 0xe8, 0, kRecMsecs},  // 0x03e8 with the 0 in front
        {"frameLen beyond limit", 0, kOffFrameLen, 0xff, 0, kRecFrameTooLong},
        {"v1 sound", 1, SIZE_MAX, 0, 0, kRecOk},
        {"v1 reserved set", 1, kOffReserved, 9, 0, kRecReserved},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> v0(kV0, kV0 + sizeof kV0);
        if (c.at != SIZE_MAX)
            v0[c.at] = c.value;
        if (c.want == kRecMsecs)
            v0[kOffStampMsecs] = 0x03;
        std::vector<uint8_t> b = c.version ? withV1Marker(v0.data(), v0.size()) : v0;
        b.resize(b.size() + c.sizeDelta);
        CvRecord r;
        EXPECT_EQ(decodeDatagram(b.data(), b.size(), c.version, kDefaultMaxFrame, &r), c.want)
            << c.what;
    }
}

TEST(CollectRecord, VersionMarkerIsChecked)
{
    std::vector<uint8_t> v1 = withV1Marker(kV0, sizeof kV0);
    CvRecord r;
    for (auto mark : {std::pair<uint8_t, uint8_t>{0, 0}, {2, 0}, {1, 1}}) {
        v1[0] = mark.first;
        v1[1] = mark.second;
        EXPECT_EQ(decodeDatagram(v1.data(), v1.size(), 1, kDefaultMaxFrame, &r), kRecVersion);
    }
    // A version 0 record read as version 1 fails on its first two bytes.
    EXPECT_EQ(decodeDatagram(kV0, sizeof kV0, 1, kDefaultMaxFrame, &r), kRecVersion);
    // The largest frame accepted is a setting.
    EXPECT_EQ(decodeDatagram(kV0, sizeof kV0, 0, 2, &r), kRecFrameTooLong);
    EXPECT_EQ(decodeDatagram(kV0, sizeof kV0, 0, 3, &r), kRecOk);
}

}  // namespace
