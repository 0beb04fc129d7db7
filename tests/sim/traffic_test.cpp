// The synthetic generator: what it promises about the sequence it hands out.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "player.h"
#include "traffic.h"

namespace {

std::vector<SynthRecord> generate(const TrafficOptions &o)
{
    SynthState s;
    synthInit(&s, o);
    std::vector<SynthRecord> out;
    SynthRecord r;
    uint64_t now = 0;
    while (synthNext(&s, now++, &r))
        out.push_back(r);
    return out;
}

TrafficOptions opts(uint64_t count)
{
    TrafficOptions o = trafficDefaults();
    o.count = count;
    return o;
}

} // namespace

TEST(Traffic, InOrderAcrossTheSequenceWrap)
{
    TrafficOptions o = opts(10);
    o.startSeq = 4294967291u;
    o.startTs = 4294967290ull;
    auto recs = generate(o);
    ASSERT_EQ(recs.size(), 10u);
    for (size_t i = 0; i < recs.size(); i++) {
        EXPECT_EQ(recs[i].seq, uint32_t(4294967291u + i));
        EXPECT_EQ(recs[i].length, 64u);
    }
    EXPECT_EQ(recs[5].seq, 0u);
    EXPECT_GE(recs[9].timeStamp, 4294967296ull) << "time stamps run on past 32 bits";
}

TEST(Traffic, ReorderStaysWithinTheDepthAndLosesNothing)
{
    for (double p : {0.3, 1.0}) {
        SCOPED_TRACE(p);
        TrafficOptions o = opts(5000);
        o.reorder = p;
        o.reorderDepth = 4;
        o.seed = 42;
        auto recs = generate(o);
        ASSERT_EQ(recs.size(), 5000u);
        size_t moved = 0;
        std::vector<uint32_t> seqs;
        for (size_t i = 0; i < recs.size(); i++) {
            seqs.push_back(recs[i].seq);
            long late = long(i) - long(recs[i].seq);
            EXPECT_LE(late, 4) << "record " << recs[i].seq << " came out at " << i;
            moved += recs[i].seq != i;
        }
        EXPECT_GT(moved, 500u);
        std::sort(seqs.begin(), seqs.end());
        for (size_t i = 0; i < seqs.size(); i++)
            ASSERT_EQ(seqs[i], i);
    }
}

TEST(Traffic, LossAndDuplicatesAreCountedAndAccountedFor)
{
    TrafficOptions o = opts(4000);
    o.loss = 0.1;
    o.dup = 0.05;
    o.seed = 7;
    SynthState s;
    synthInit(&s, o);
    std::map<uint32_t, int> seen;
    SynthRecord r, prev = {};
    size_t n = 0;
    uint32_t last = 0;
    while (synthNext(&s, 0, &r)) {
        if (seen[r.seq]++ == 1) {
            EXPECT_EQ(prev.seq, r.seq) << "a duplicate follows its original";
            EXPECT_EQ(prev.length, r.length);
            EXPECT_EQ(prev.poolOffset, r.poolOffset);
        } else {
            EXPECT_TRUE(n == 0 || r.seq > last) << "no reordering asked for";
            last = r.seq;
        }
        prev = r;
        n++;
    }
    EXPECT_EQ(s.counts.generated, 4000u);
    EXPECT_EQ(seen.size(), 4000u - s.counts.lost);
    EXPECT_EQ(n, seen.size() + s.counts.duplicated);
    EXPECT_NEAR(double(s.counts.lost), 400, 120);
    EXPECT_NEAR(double(s.counts.duplicated), 180, 80);
}

TEST(Traffic, SameSeedSameTrafficAndSizesInRange)
{
    TrafficOptions o = opts(2000);
    o.reorder = 0.2;
    o.loss = 0.05;
    o.sizeMin = 10;
    o.sizeMax = 20;
    o.txRatio = 0.25;
    auto a = generate(o), b = generate(o);
    ASSERT_EQ(a.size(), b.size());
    size_t tx = 0;
    for (size_t i = 0; i < a.size(); i++) {
        EXPECT_EQ(a[i].seq, b[i].seq);
        EXPECT_EQ(a[i].length, b[i].length);
        EXPECT_GE(a[i].length, 10u);
        EXPECT_LE(a[i].length, 20u);
        EXPECT_LT(a[i].poolOffset, kFramePoolSpan);
        tx += a[i].direction == 1;
    }
    EXPECT_NEAR(double(tx) / double(a.size()), 0.25, 0.05);
    o.seed = 2;
    auto c = generate(o);
    bool differ = c.size() != a.size();
    for (size_t i = 0; !differ && i < a.size(); i++)
        differ = a[i].seq != c[i].seq || a[i].length != c[i].length;
    EXPECT_TRUE(differ);
}

TEST(PacketTable, FindsAMonitorSocketOnThePort)
{
    const char *head = "sk       RefCnt Type Proto  Iface R Rmem   User   Inode\n";
    std::string other = std::string(head) + "ffff8a0c 3 3 0800 2 1 0 0 100\n";
    std::string bound = other + "ffff8a0d 3 3 6005 5 1 0 0 101\n";
    std::string any = std::string(head) + "ffff8a0e 3 2 0003 0 1 0 0 102\n";
    EXPECT_FALSE(packetTableHasReceiver(head, 5));
    EXPECT_FALSE(packetTableHasReceiver(other.c_str(), 2));
    EXPECT_TRUE(packetTableHasReceiver(bound.c_str(), 5));
    EXPECT_FALSE(packetTableHasReceiver(bound.c_str(), 6));
    EXPECT_FALSE(packetTableHasReceiver(any.c_str(), 9)) << "not bound to the port yet";
    std::string all = std::string(head) + "ffff8a0f 3 3 0003 9 1 0 0 103\n";
    EXPECT_TRUE(packetTableHasReceiver(all.c_str(), 9));
}
