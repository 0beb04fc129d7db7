// The scenario parser: what a line means, and which lines are refused.
#include <gtest/gtest.h>

#include <string>

#include "scenario.h"

namespace {

std::vector<ScenarioItem> parseOk(const char *text, const RecordLayout &lay = kLayout64)
{
    std::vector<ScenarioItem> items;
    char err[256] = "";
    EXPECT_TRUE(parseScenario(text, lay, &items, err, sizeof err)) << err;
    return items;
}

std::string parseError(const char *text, const RecordLayout &lay = kLayout64)
{
    std::vector<ScenarioItem> items;
    char err[256] = "";
    EXPECT_FALSE(parseScenario(text, lay, &items, err, sizeof err)) << text;
    return err;
}

} // namespace

TEST(Scenario, RecordsDirectivesAndComments)
{
    auto items = parseOk("# reorder\n"
                         "\n"
                         "5 Tx 1000 01 02ff   # two groups\n"
                         "4294967295 Rx 4294967295 len=3\n"
                         "0 2 0x10 -\n"
                         "pause 25\n"
                         "6 Rx 7 aa claim=5000\n"
                         "short 3\n"
                         "empty\n"
                         "raw 0001 02\r\n");
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[0].kind, ItemKind::Record);
    EXPECT_EQ(items[0].header.seq, 5u);
    EXPECT_EQ(items[0].header.direction, kDirTx);
    EXPECT_EQ(items[0].header.timeStamp, 1000u);
    EXPECT_EQ(items[0].data, (std::vector<uint8_t>{1, 2, 0xff}));
    EXPECT_EQ(items[0].header.length, 3u);
    EXPECT_EQ(items[0].line, 3);

    EXPECT_EQ(items[1].header.seq, 4294967295u);
    EXPECT_EQ(items[1].header.direction, kDirRx);
    std::vector<uint8_t> pattern;
    patternFrame(4294967295u, 3, &pattern);
    EXPECT_EQ(items[1].data, pattern);

    EXPECT_EQ(items[2].header.direction, 2);
    EXPECT_EQ(items[2].header.timeStamp, 16u);
    EXPECT_TRUE(items[2].data.empty());

    EXPECT_EQ(items[3].kind, ItemKind::Pause);
    EXPECT_EQ(items[3].pauseMs, 25u);

    EXPECT_TRUE(items[4].claimed);
    EXPECT_EQ(items[4].header.length, 5000u);
    EXPECT_EQ(items[4].data.size(), 1u);

    EXPECT_EQ(items[5].kind, ItemKind::Raw);
    EXPECT_EQ(items[5].data.size(), 3u);
    EXPECT_STREQ(items[5].label, "short");
    EXPECT_TRUE(items[6].data.empty());
    EXPECT_STREQ(items[6].label, "empty");
    EXPECT_EQ(items[7].data, (std::vector<uint8_t>{0, 1, 2}));
}

TEST(Scenario, TimeStampRangeFollowsTheLayout)
{
    parseOk("1 Tx 4294967296 -\n", kLayout64);
    EXPECT_EQ(parseError("1 Tx 4294967296 -\n", kLayout32).rfind("line 1: bad time stamp", 0), 0u);
    // A "short" datagram must be shorter than the layout's header.
    parseOk("short 23\n", kLayout64);
    EXPECT_NE(parseError("short 16\n", kLayout32), "");
}

TEST(Scenario, BadLinesAreRefusedWithTheirNumber)
{
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {"1 Tx 5\n", "line 1: a record needs SEQ DIR TS FRAME"},
        {"\n4294967296 Tx 5 -\n", "line 2: bad sequence number"},
        {"-1 Tx 5 -\n", "line 1: bad sequence number"},
        {"1 Up 5 -\n", "line 1: bad direction"},
        {"1 256 5 -\n", "line 1: bad direction"},
        {"1 Tx 5 0g\n", "line 1: bad frame bytes"},
        {"1 Tx 5 012\n", "line 1: bad frame bytes"},
        {"1 Tx 5 len=16361\n", "line 1: bad frame length"},
        {"1 Tx 5 len=4 extra\n", "line 1: unexpected"},
        {"1 Tx 5 - claim=x\n", "line 1: bad claim"},
        {"pause\n", "line 1: pause needs"},
        {"pause 600001\n", "line 1: pause needs"},
        {"short 0\n", "line 1: short takes"},
        {"empty 1\n", "line 1: empty takes"},
        {"raw\n", "line 1: raw needs"},
        {"1 Tx 99999999999999999999999 -\n", "line 1: bad time stamp"},
        {"traffic\n", "line 1: traffic needs a model"},
        {"traffic isdn\n", "line 1: traffic needs a model"},
        {"traffic lapd fisu-ratio=2\n", "line 1: traffic lapd takes count=, seq=, ts=, seed=, not"},
        {"traffic mtp2 fisu-ratio=-1\n", "line 1: bad value"},
        {"traffic mtp2 count=x\n", "line 1: bad value"},
        {"traffic mtp2 seq=4294967296\n", "line 1: bad value"},
    };
    for (const Case &c : cases) {
        std::string err = parseError(c.text);
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << c.text << " gave: " << err;
    }
}

TEST(Scenario, ReportsTheFirstBadLine)
{
    std::vector<ScenarioItem> items;
    char err[64];
    EXPECT_FALSE(parseScenario("1 Tx 1 -\nbogus\n", kLayout64, &items, err, sizeof err));
    EXPECT_STREQ(err, "line 2: a record needs SEQ DIR TS FRAME");
}

TEST(Scenario, TrafficOfAModelGoesOnFromTheRecordBefore)
{
    auto items = parseOk("7 Tx 500 01\n"
                         "traffic mtp2 count=20 fisu-ratio=0.5\n"
                         "traffic frelay seed=9 # 100 by default\n"
                         "traffic lapd count=5 seq=4294967295 ts=70\n");
    ASSERT_EQ(items.size(), 4u);
    struct Want {
        TrafficModel model;
        uint64_t count;
        uint32_t seq;
        uint64_t ts;
    } want[] = {{TrafficModel::Mtp2, 20, 8, 500}, {TrafficModel::Frelay, 100, 28, 500},
                {TrafficModel::Lapd, 5, 4294967295u, 70}};
    for (size_t i = 0; i < 3; i++) {
        const ScenarioItem &it = items[i + 1];
        ASSERT_EQ(it.kind, ItemKind::Traffic);
        EXPECT_EQ(it.traffic.model.kind, want[i].model) << i;
        EXPECT_EQ(it.traffic.count, want[i].count) << i;
        EXPECT_EQ(it.traffic.startSeq, want[i].seq) << i;
        EXPECT_EQ(it.traffic.startTs, want[i].ts) << i;
    }
    EXPECT_EQ(items[1].traffic.model.fisuRatio, 0.5);
    EXPECT_EQ(items[2].traffic.seed, 9u);
}
