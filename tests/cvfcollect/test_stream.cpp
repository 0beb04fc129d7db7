// TCP stream reassembly: records split anywhere, several per read, and
// streams that lose sync.
#include <gtest/gtest.h>

#include <vector>

#include "stream.h"

namespace {

std::vector<uint8_t> makeRecord(int version, uint16_t seq, uint16_t frameLen)
{
    CvRecord r = {};
    r.seqNo = seq;
    r.stampSecs = 1700000000 + seq;
    r.stampMsecs = seq % 1000;
    r.gwId = 1;
    r.lineNum = 2;
    r.txFlag = seq & 1;
    r.frameLen = frameLen;
    std::vector<uint8_t> b(hdrLen(version) + frameLen);
    encodeHeader(r, version, b.data());
    for (size_t i = hdrLen(version); i < b.size(); i++)
        b[i] = (uint8_t)(seq + i);
    return b;
}

// Records of several sizes back to back, as the monitor writes them.
std::vector<uint8_t> makeStream(int version, int count, std::vector<std::vector<uint8_t>> *recs)
{
    std::vector<uint8_t> all;
    for (int i = 0; i < count; i++) {
        recs->push_back(makeRecord(version, (uint16_t)(65530 + i), (uint16_t)((i * 37) % 300)));
        all.insert(all.end(), recs->back().begin(), recs->back().end());
    }
    return all;
}

// Feeds the stream in pieces of the given sizes (cycled) and returns the
// records taken, each as its raw bytes.
std::vector<std::vector<uint8_t>> feed(Stream *s, const std::vector<uint8_t> &all,
                                       const std::vector<size_t> &pieces)
{
    std::vector<std::vector<uint8_t>> got;
    size_t at = 0;
    for (size_t k = 0; at < all.size(); k++) {
        size_t n = std::min(pieces[k % pieces.size()], all.size() - at);
        at += streamPush(s, all.data() + at, n);
        CvRecord r;
        RecordCheck why;
        const uint8_t *raw = streamPendingBytes(s);
        while (streamNext(s, &r, &why) == kStreamRecord) {
            got.emplace_back(raw, raw + r.recordLen);
            raw = streamPendingBytes(s);
        }
    }
    return got;
}

TEST(CollectStream, ReassemblesAtEverySplitPoint)
{
    for (int version : {0, 1}) {
        std::vector<std::vector<uint8_t>> recs;
        std::vector<uint8_t> all = makeStream(version, 3, &recs);
        for (size_t split = 1; split < all.size(); split++) {
            Stream s;
            ASSERT_TRUE(streamOpen(&s, version, kDefaultMaxFrame));
            auto got = feed(&s, all, {split, all.size()});
            EXPECT_EQ(got, recs) << "version " << version << " split at " << split;
            EXPECT_EQ(streamPending(&s), 0u);
            EXPECT_EQ(s.taken, all.size());
            streamClose(&s);
        }
    }
}

TEST(CollectStream, ManyRecordsPerReadAndBytewiseFeeding)
{
    std::vector<std::vector<uint8_t>> recs;
    std::vector<uint8_t> all = makeStream(1, 2000, &recs);  // several buffers' worth
    for (std::vector<size_t> pieces : std::vector<std::vector<size_t>>{
             {1}, {7, 1, 300}, {kStreamBufLen}, {65536, 3}}) {
        Stream s;
        ASSERT_TRUE(streamOpen(&s, 1, kDefaultMaxFrame));
        auto got = feed(&s, all, pieces);
        EXPECT_EQ(got.size(), recs.size());
        EXPECT_TRUE(got == recs);
        streamClose(&s);
    }
}

TEST(CollectStream, LargestRecordsFitTheBuffer)
{
    std::vector<uint8_t> all;
    for (int i = 0; i < 10; i++) {
        auto r = makeRecord(1, (uint16_t)i, 0xffff);
        all.insert(all.end(), r.begin(), r.end());
    }
    Stream s;
    ASSERT_TRUE(streamOpen(&s, 1, 0xffff));
    auto got = feed(&s, all, {kStreamBufLen - 5, 100000});
    EXPECT_EQ(got.size(), 10u);
    streamClose(&s);
}

TEST(CollectStream, LosesSyncOnABadHeaderAndStaysThere)
{
    struct Case {
        const char *what;
        int version;
        size_t corruptAt;  // in the second record
        uint8_t value;
        RecordCheck want;
    } cases[] = {
        {"v1 marker missing", 1, 0, 0x00, kRecVersion},
        {"v1 reserved", 1, 2 + kOffReserved, 5, kRecReserved},
        {"v0 impossible frameLen", 0, kOffFrameLen, 0x80, kRecFrameTooLong},
        {"v0 direction", 0, kOffTxFlag, 0x41, kRecTxFlag},
    };
    for (const Case &c : cases) {
        auto a = makeRecord(c.version, 1, 10), b = makeRecord(c.version, 2, 10);
        b[c.corruptAt] = c.value;
        std::vector<uint8_t> all = a;
        all.insert(all.end(), b.begin(), b.end());
        Stream s;
        ASSERT_TRUE(streamOpen(&s, c.version, kDefaultMaxFrame));
        streamPush(&s, all.data(), all.size());
        CvRecord r;
        RecordCheck why = kRecOk;
        EXPECT_EQ(streamNext(&s, &r, &why), kStreamRecord) << c.what;
        EXPECT_EQ(streamNext(&s, &r, &why), kStreamLostSync) << c.what;
        EXPECT_EQ(why, c.want) << c.what;
        EXPECT_EQ(s.taken, a.size()) << c.what;
        EXPECT_EQ(streamPending(&s), b.size()) << c.what;
        streamClose(&s);
    }
}

TEST(CollectStream, PartialHeaderWaits)
{
    auto a = makeRecord(1, 1, 4);
    Stream s;
    ASSERT_TRUE(streamOpen(&s, 1, kDefaultMaxFrame));
    streamPush(&s, a.data(), kHdrLenV1 - 1);
    CvRecord r;
    RecordCheck why;
    EXPECT_EQ(streamNext(&s, &r, &why), kStreamNeedMore);
    streamPush(&s, a.data() + kHdrLenV1 - 1, 1);
    EXPECT_EQ(streamNext(&s, &r, &why), kStreamNeedMore);  // frame not there yet
    streamPush(&s, a.data() + kHdrLenV1, 4);
    EXPECT_EQ(streamNext(&s, &r, &why), kStreamRecord);
    EXPECT_EQ(r.seqNo, 1);
    streamClose(&s);
}

}  // namespace
