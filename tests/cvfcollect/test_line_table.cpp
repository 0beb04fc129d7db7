// Sequence accounting modulo 2^16 and the statistics per line.
#include <gtest/gtest.h>

#include <vector>

#include "line_table.h"

namespace {

struct Seen {
    SeqState st = {};
    SeqCounts c = {};
    std::vector<SeqVerdict> verdicts;
    void take(std::initializer_list<unsigned> seqs)
    {
        for (unsigned s : seqs)
            verdicts.push_back(seqAccount(&st, &c, (uint16_t)s));
    }
};

TEST(CollectSeq, InOrderGapsAndWrap)
{
    Seen s;
    s.take({65533, 65534, 65535, 0, 1});  // wrap without loss
    EXPECT_EQ(s.c.lost, 0u);
    s.take({5});                            // 2, 3, 4 missing
    EXPECT_EQ(s.c.lost, 3u);
    s.take({6 + 32767});                    // the largest forward jump: 32767 missing
    EXPECT_EQ(s.c.lost, 3u + 32767u);
    s.take({6 + 32767 + 1 + 32768});        // one further reads as behind: a restart
    EXPECT_EQ(s.c.restarts, 1u);
    EXPECT_EQ(s.verdicts.front(), kSeqFirst);
    EXPECT_EQ(s.verdicts[3], kSeqInOrder);
    EXPECT_EQ(s.verdicts[5], kSeqGap);
}

TEST(CollectSeq, GapAcrossTheWrap)
{
    Seen s;
    s.take({65534, 2});  // 65535, 0, 1 missing
    EXPECT_EQ(s.c.lost, 3u);
    EXPECT_EQ(s.c.outOfOrder + s.c.duplicates + s.c.restarts, 0u);
}

TEST(CollectSeq, LateArrivalIsTakenOffTheLostCount)
{
    Seen s;
    s.take({10, 11, 14});
    EXPECT_EQ(s.c.lost, 2u);
    s.take({12});
    EXPECT_EQ(s.verdicts.back(), kSeqLate);
    EXPECT_EQ(s.c.lost, 1u);
    EXPECT_EQ(s.c.outOfOrder, 1u);
    s.take({12, 14, 11});  // all seen before now
    EXPECT_EQ(s.c.duplicates, 3u);
    s.take({13, 15});
    EXPECT_EQ(s.c.lost, 0u);
    EXPECT_EQ(s.c.outOfOrder, 2u);
    EXPECT_EQ(s.c.duplicates, 3u);
}

TEST(CollectSeq, LateArrivalAcrossTheWrap)
{
    Seen s;
    s.take({65535, 1, 0});
    EXPECT_EQ(s.c.lost, 0u);
    EXPECT_EQ(s.c.outOfOrder, 1u);
    s.take({0});
    EXPECT_EQ(s.c.duplicates, 1u);
}

TEST(CollectSeq, ImmediateRepeatIsDuplicate)
{
    Seen s;
    s.take({7, 7, 7});
    EXPECT_EQ(s.c.duplicates, 2u);
    EXPECT_EQ(s.verdicts[1], kSeqDuplicate);
}

TEST(CollectSeq, NumberBeforeTheFirstIsOutOfOrderNotLost)
{
    Seen s;
    s.take({100, 99, 101});
    EXPECT_EQ(s.verdicts[1], kSeqEarlier);
    EXPECT_EQ(s.c.outOfOrder, 1u);
    EXPECT_EQ(s.c.lost, 0u);
    EXPECT_EQ(s.c.duplicates, 0u);
}

TEST(CollectSeq, WindowEdgesAndRestart)
{
    Seen s;
    s.take({0});
    for (unsigned n = 1; n <= kSeqWindow + 10; n++)
        if (n != 10)
            s.take({n});
    EXPECT_EQ(s.c.lost, 1u);
    // 10 is now kSeqWindow + 1 behind next: it reads as the sender starting over.
    s.take({10});
    EXPECT_EQ(s.verdicts.back(), kSeqRestart);
    EXPECT_EQ(s.c.restarts, 1u);
    EXPECT_EQ(s.c.lost, 1u);
    s.take({11, 12});  // accounting goes on from 10
    EXPECT_EQ(s.c.lost, 1u);
    EXPECT_EQ(s.c.duplicates, 0u);
}

TEST(CollectSeq, MonitorRestartFromZero)
{
    Seen s;
    for (unsigned n = 20000; n < 20010; n++)
        s.take({n});
    s.take({0, 1, 2});
    EXPECT_EQ(s.c.restarts, 1u);
    EXPECT_EQ(s.c.lost, 0u);
    EXPECT_EQ(s.c.duplicates + s.c.outOfOrder, 0u);
}

TEST(CollectSeq, HugeGapThenLateArrivalInsideTheWindow)
{
    Seen s;
    s.take({0, 20000});  // 19999 lost; the window keeps the last 4096 of them
    EXPECT_EQ(s.c.lost, 19999u);
    s.take({19999, 20000 - kSeqWindow + 1});
    EXPECT_EQ(s.c.lost, 19997u);
    EXPECT_EQ(s.c.outOfOrder, 2u);
    EXPECT_EQ(s.c.duplicates, 0u);
}

CvRecord rec(uint8_t gw, uint8_t line, uint16_t seq, uint8_t tx, uint16_t len)
{
    CvRecord r = {};
    r.gwId = gw;
    r.lineNum = line;
    r.seqNo = seq;
    r.txFlag = tx;
    r.frameLen = len;
    r.recordLen = kHdrLenV0 + len;
    r.stampSecs = 1000 + seq;
    r.stampMsecs = seq % 1000;
    return r;
}

// A line table, freed after each test.
class CollectLines : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lineTableOpen(&t)); }
    void TearDown() override { lineTableClose(&t); }
    LineTable t;
};

TEST_F(CollectLines, LinesAreKeptApart)
{
    lineTableRecord(&t, rec(1, 0, 5, 1, 10), 1000);
    lineTableRecord(&t, rec(1, 1, 5, 0, 20), 2000);
    lineTableRecord(&t, rec(2, 0, 9, 0, 30), 3000);
    lineTableRecord(&t, rec(1, 0, 7, 0, 40), 1000000000 + 1000);
    ASSERT_EQ(t.count, 3u);
    const LineStats *a = lineFind(t, 1, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->records, 2u);
    EXPECT_EQ(a->bytes, 2 * kHdrLenV0 + 50);
    EXPECT_EQ(a->frameBytes, 50u);
    EXPECT_EQ(a->tx, 1u);
    EXPECT_EQ(a->rx, 1u);
    EXPECT_EQ(a->seq.lost, 1u);
    EXPECT_EQ(a->firstSeq, 5);
    EXPECT_EQ(a->lastSeq, 7);
    EXPECT_EQ(a->firstSecs, 1005u);
    EXPECT_EQ(a->lastSecs, 1007u);
    EXPECT_EQ(a->lastNs - a->firstNs, 1000000000u);
    EXPECT_EQ(lineFind(t, 1, 1)->seq.lost, 0u);
    LineStats sum = lineTableSum(t);
    EXPECT_EQ(sum.records, 4u);
    EXPECT_EQ(sum.seq.lost, 1u);
}

TEST_F(CollectLines, InvalidCountsGoToKnownLinesOnly)
{
    lineTableRecord(&t, rec(3, 4, 1, 1, 0), 0);
    uint8_t hdr[kHdrLenV1] = {1, 0};
    hdr[2 + kOffGwId] = 3;
    hdr[2 + kOffLineNum] = 4;
    lineTableInvalid(&t, kRecReserved, hdr, sizeof hdr, 1);
    hdr[2 + kOffLineNum] = 5;  // a line never seen: totals only
    lineTableInvalid(&t, kRecReserved, hdr, sizeof hdr, 1);
    lineTableInvalid(&t, kRecShort, hdr, 3, 1);
    EXPECT_EQ(lineFind(t, 3, 4)->invalid, 1u);
    EXPECT_EQ(lineFind(t, 3, 5), nullptr);
    EXPECT_EQ(t.totals.invalid, 3u);
    EXPECT_EQ(t.totals.invalidBy[kRecReserved], 2u);
    EXPECT_EQ(t.totals.invalidBy[kRecShort], 1u);
}

// The rate ring through the table: records and the numbers they show
// missing land in the bucket of their arrival second.
TEST_F(CollectLines, RecentRatesPerSecond)
{
    const uint64_t s = 1000000000u;
    lineTableRecord(&t, rec(1, 2, 10, 0, 0), 500 * s);
    lineTableRecord(&t, rec(1, 2, 11, 0, 0), 500 * s + 1);
    lineTableRecord(&t, rec(1, 2, 15, 0, 0), 502 * s);  // 12..14 missing
    RateBucket b[kRateSecs];
    uint64_t first;
    unsigned n = ratesSince(lineFind(t, 1, 2)->rates, 500, 503, b, &first);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(first, 500u);
    const RateBucket want[] = {{2, 0}, {0, 0}, {1, 3}, {0, 0}};
    for (unsigned i = 0; i < n; i++) {
        EXPECT_EQ(b[i].records, want[i].records) << i;
        EXPECT_EQ(b[i].lost, want[i].lost) << i;
    }
}

// What the ring keeps: kRateSecs seconds back from the newest, old ones
// cleared as time passes, later seconds and gaps read as zero, counts held
// at the largest value.
TEST(CollectRates, RingKeepsTheLastSeconds)
{
    struct Case {
        const char *what;
        std::vector<uint64_t> addSecs;  // one record each
        uint64_t since, now;
        unsigned wantCount;
        uint64_t wantFirst;
        uint32_t wantFirstRecords, wantLastRecords;
    };
    const Case cases[] = {
        {"all held", {7, 7, 8}, 0, 8, 9, 0, 0, 1},
        {"since cuts", {7, 7, 8}, 7, 8, 2, 7, 2, 1},
        {"window only", {100, 500}, 0, 500, kRateSecs, 500 - kRateSecs + 1, 0, 1},
        {"old second cleared", {100, 100 + kRateSecs}, 100, 100 + kRateSecs, kRateSecs, 101, 0, 1},
        {"silence reads zero", {10}, 10, 20, 11, 10, 1, 0},
        {"too old is dropped", {1000, 1000 - kRateSecs}, 0, 1000, kRateSecs, 1000 - kRateSecs + 1,
         0, 1},
        {"since past now", {5}, 9, 8, 0, 9, 0, 0},
    };
    for (const Case &c : cases) {
        LineRates r = {};
        for (uint64_t sec : c.addSecs)
            ratesAdd(&r, sec, 1, 0);
        RateBucket b[kRateSecs];
        uint64_t first = 0;
        unsigned n = ratesSince(r, c.since, c.now, b, &first);
        EXPECT_EQ(n, c.wantCount) << c.what;
        EXPECT_EQ(first, c.wantFirst) << c.what;
        if (n) {
            EXPECT_EQ(b[0].records, c.wantFirstRecords) << c.what;
            EXPECT_EQ(b[n - 1].records, c.wantLastRecords) << c.what;
        }
    }
    LineRates r = {};
    ratesAdd(&r, 3, UINT32_MAX - 1, 0);
    ratesAdd(&r, 3, 5, UINT64_MAX);
    EXPECT_EQ(r.ring[3].records, UINT32_MAX);
    EXPECT_EQ(r.ring[3].lost, UINT32_MAX);
}

}  // namespace
