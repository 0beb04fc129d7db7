// The traffic options shared by "cvsim run" and "cvsim play".
#include <gtest/gtest.h>

#include "cvsim.h"

TEST(TrafficOptions, ValuesAreCheckedStrictly)
{
    struct Case {
        const char *name, *arg;
        int result;
    } cases[] = {
        {"count", "10", 1},        {"count", "-1", -1},      {"count", "10x", -1},
        {"count", "", -1},         {"rate", "2.5e5", 1},     {"rate", "-3", -1},
        {"rate", "inf", -1},       {"loss", "1", 1},         {"loss", "1.01", -1},
        {"reorder", "0.5", 1},     {"reorder-depth", "0", -1}, {"size", "4096", 1},
        {"size", "4097", -1},      {"start-seq", "4294967295", 1},
        {"start-seq", "4294967296", -1}, {"layout", "32", 1}, {"layout", "48", -1},
        {"wait", "0.5", 1},        {"verbose", "1", 0},
        {"speed", "0", 1},         {"speed", "2.5", 1},      {"speed", "0.001", 1},
        {"speed", "0.0005", -1},   {"speed", "-1", -1},      {"speed", "nan", -1},
        {"direction", "alternate", 1}, {"direction", "Rx", -1}, {"capture", "x.pcapng", 1},
    };
    for (const Case &c : cases) {
        TrafficArgs t;
        trafficArgsInit(&t);
        EXPECT_EQ(trafficOption(c.name, c.arg, &t), c.result) << "--" << c.name << " " << c.arg;
    }
}

TEST(TrafficOptions, SizesAndCombinations)
{
    TrafficArgs t;
    trafficArgsInit(&t);
    PlayOptions po = {};
    ASSERT_EQ(trafficOption("size", "100", &t), 1);
    EXPECT_EQ(t.synth.sizeMin, 100u);
    EXPECT_EQ(t.synth.sizeMax, 100u);
    ASSERT_EQ(trafficOption("size-max", "50", &t), 1);
    EXPECT_FALSE(trafficPrepare(&t, &po)) << "min above max";
    ASSERT_EQ(trafficOption("size-min", "20", &t), 1);
    EXPECT_TRUE(trafficPrepare(&t, &po));
    EXPECT_EQ(po.traffic.sizeMin, 20u);
    EXPECT_EQ(po.traffic.sizeMax, 50u);
    EXPECT_EQ(po.layout->bits, int(sizeof(void *) * 8)) << "default layout is the build's";
    EXPECT_EQ(po.scenario, nullptr);

    ASSERT_EQ(trafficOption("scenario", "/nonexistent", &t), 1);
    EXPECT_FALSE(trafficPrepare(&t, &po)) << "scenario and synthetic options together";
}

TEST(TrafficOptions, AModelMakesItsOwnFramesAndDirections)
{
    struct Case {
        std::vector<std::pair<const char *, const char *>> opts;
        bool ok;
    } cases[] = {
        {{{"traffic", "mtp2"}, {"fisu-ratio", "2.5"}}, true},
        {{{"traffic", "lapd"}, {"count", "20"}, {"loss", "0.1"}, {"reorder", "0.1"}}, true},
        {{{"traffic", "random"}, {"size", "20"}, {"tx-ratio", "1"}}, true},
        {{{"traffic", "frelay"}, {"size-max", "20"}}, false},
        {{{"tx-ratio", "1"}, {"traffic", "mtp2"}}, false},
        {{{"traffic", "lapd"}, {"fisu-ratio", "1"}}, false},
    };
    for (const Case &c : cases) {
        TrafficArgs t;
        trafficArgsInit(&t);
        PlayOptions po = {};
        for (auto &[name, arg] : c.opts)
            ASSERT_EQ(trafficOption(name, arg, &t), 1) << name;
        EXPECT_TRUE(t.synthetic);
        EXPECT_EQ(trafficPrepare(&t, &po), c.ok) << c.opts[0].second << " with --" << c.opts[1].first;
    }
    TrafficArgs t;
    trafficArgsInit(&t);
    EXPECT_EQ(trafficOption("traffic", "isdn", &t), -1);
    EXPECT_EQ(trafficOption("fisu-ratio", "1001", &t), -1);
    EXPECT_FALSE(t.given) << "a refused value gives no traffic";
}
