// Replay rules that the end-to-end tests cannot see without timing the
// play: the options a capture goes with, and its time line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cvsim.h"

namespace {

struct Opt {
    const char *name, *arg;
};

// The message trafficPrepare prints for these options, "" when it accepts them.
std::string prepareMessage(const std::vector<Opt> &opts)
{
    TrafficArgs t;
    trafficArgsInit(&t);
    for (const Opt &o : opts)
        EXPECT_EQ(trafficOption(o.name, o.arg, &t), 1) << "--" << o.name << " " << o.arg;
    PlayOptions po = {};
    testing::internal::CaptureStderr();
    bool ok = trafficPrepare(&t, &po);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ok, err.empty()) << err;
    return err;
}

} // namespace

TEST(ReplayOptions, ACaptureExcludesOtherTraffic)
{
    const std::string reader = captureReaderBuilt() ? "--capture /nonexistent: No such file"
                                                    : "--capture: this build cannot read captures";
    struct Case {
        std::vector<Opt> opts;
        std::string message;
    } cases[] = {
        {{{"capture", "/nonexistent"}, {"count", "5"}}, "--capture cannot be combined with --count"},
        {{{"start-seq", "3"}, {"seed", "2"}, {"capture", "/nonexistent"}},
         "--capture cannot be combined with --seed"},
        {{{"capture", "/nonexistent"}, {"scenario", "/nonexistent"}},
         "--capture cannot be combined with --scenario"},
        {{{"capture", "/nonexistent"}, {"rate", "100"}}, "cannot be combined with --rate"},
        {{{"speed", "2"}}, "--speed and --direction go with --capture"},
        {{{"count", "3"}, {"direction", "tx"}}, "--speed and --direction go with --capture"},
        // what a replay takes: the file is read
        {{{"capture", "/nonexistent"}, {"start-seq", "7"}, {"start-ts", "9"}, {"speed", "0"},
          {"direction", "tx"}, {"log", "/dev/null"}, {"layout", "32"}},
         reader},
        {{{"count", "3"}, {"start-seq", "7"}}, ""},
    };
    for (const Case &c : cases) {
        std::string err = prepareMessage(c.opts);
        if (c.message.empty())
            EXPECT_EQ(err, "");
        else
            EXPECT_NE(err.find(c.message), std::string::npos) << err << "\nwanted: " << c.message;
    }
}

// The time line: due times scale with the speed, stamps follow the
// capture's time from --start-ts in milliseconds, and neither goes back
// for a packet stamped earlier than the one ahead or not stamped at all.
TEST(ReplayClock, FollowsTheCaptureForwardOnly)
{
    constexpr int64_t ms = 1000000;
    constexpr int64_t kCentury = int64_t(1) << 61;
    const int64_t t0 = 1700000000LL * 1000000000LL;
    struct Step {
        bool hasTime;
        int64_t time;
        int64_t dueAt1, dueAt4;
        uint64_t stamp;
    } steps[] = {
        {false, 0, 0, 0, 100},                       // no time before the first: at once
        {true, t0, 0, 0, 100},                       // the first with a time
        {true, t0 + 250 * ms + 999999, 250 * ms + 999999, 62 * ms + 749999, 350},
        {true, t0 + 100 * ms, 250 * ms + 999999, 62 * ms + 749999, 350}, // earlier: no step back
        {false, 0, 250 * ms + 999999, 62 * ms + 749999, 350},
        {true, t0 + 4000 * ms, 4000 * ms, 1000 * ms, 4100},
        // a time far off (a damaged file) is held to about a century
        {true, INT64_MAX, kCentury, kCentury / 4, 100 + uint64_t(kCentury / ms)},
    };
    ReplayClock c = {};
    for (const Step &s : steps) {
        replayClockAdvance(&c, s.hasTime, s.time);
        EXPECT_EQ(replayDueNs(c, 1), s.dueAt1);
        EXPECT_EQ(replayDueNs(c, 4), s.dueAt4);
        EXPECT_EQ(replayDueNs(c, 0), 0) << "flat out";
        EXPECT_EQ(replayStamp(c, 100), s.stamp);
    }
}
