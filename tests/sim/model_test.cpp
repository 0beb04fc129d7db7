// The protocol models where tshark cannot see: reproducible from the seed,
// every exchange complete whatever the count, and the line's loss and
// reordering acting on records, not on the protocol.
#include <gtest/gtest.h>

#include <map>

#include "record.h"
#include "traffic.h"

namespace {

constexpr TrafficModel kModels[] = {TrafficModel::Mtp2, TrafficModel::Lapd, TrafficModel::Frelay};

TrafficOptions modelOpts(TrafficModel m, uint64_t count, uint64_t seed)
{
    TrafficOptions o = trafficDefaults();
    o.count = count;
    o.seed = seed;
    o.model.kind = m;
    return o;
}

std::vector<SynthRecord> generate(const TrafficOptions &o)
{
    SynthState s;
    synthInit(&s, o);
    std::vector<SynthRecord> out;
    SynthRecord r;
    while (synthNext(&s, out.size(), &r))
        out.push_back(r);
    return out;
}

} // namespace

TEST(Models, SameSeedSameFramesOtherSeedOthers)
{
    for (TrafficModel m : kModels) {
        SCOPED_TRACE(modelName(m));
        auto a = generate(modelOpts(m, 500, 3)), b = generate(modelOpts(m, 500, 3));
        auto c = generate(modelOpts(m, 500, 4));
        ASSERT_EQ(a.size(), 500u);
        ASSERT_EQ(b.size(), 500u);
        bool differ = false;
        for (size_t i = 0; i < a.size(); i++) {
            EXPECT_EQ(a[i].frame, b[i].frame) << "frame " << i;
            EXPECT_EQ(a[i].direction, b[i].direction) << "frame " << i;
            EXPECT_EQ(a[i].length, a[i].frame.size());
            EXPECT_GT(a[i].length, 0u);
            EXPECT_LE(a[i].length, kMaxFrame);
            differ = differ || a[i].frame != c[i].frame;
        }
        EXPECT_TRUE(differ);
    }
}

TEST(Models, EveryExchangeEndsByTheLastFrameWhateverTheCount)
{
    for (TrafficModel m : kModels)
        for (uint64_t count = 0; count < 400; count += count < 60 ? 1 : 7) {
            SCOPED_TRACE(std::string(modelName(m)) + " count " + std::to_string(count));
            SynthState s;
            synthInit(&s, modelOpts(m, count, count + 1));
            SynthRecord r;
            uint64_t n = 0;
            while (synthNext(&s, 0, &r))
                n++;
            EXPECT_EQ(n, count);
            EXPECT_EQ(modelOwed(s.model), 0u);
        }
}

TEST(Models, LossAndReorderActOnRecordsNotOnTheProtocol)
{
    for (TrafficModel m : kModels) {
        SCOPED_TRACE(modelName(m));
        TrafficOptions o = modelOpts(m, 2000, 9);
        std::map<uint32_t, SynthRecord> line;
        for (const SynthRecord &r : generate(o))
            line[r.seq] = r;
        o.loss = 0.1;
        o.reorder = 0.2;
        o.dup = 0.05;
        auto delivered = generate(o);
        EXPECT_LT(delivered.size(), 1950u);
        for (const SynthRecord &r : delivered) {
            EXPECT_EQ(r.frame, line[r.seq].frame) << "seq " << r.seq;
            EXPECT_EQ(r.direction, line[r.seq].direction) << "seq " << r.seq;
        }
    }
}
