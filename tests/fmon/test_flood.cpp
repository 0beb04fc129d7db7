// Flood mode: the synthetic record, the refusal report, and whole floods
// against a real collector on loopback.
#include "connection.h"
#include "fmon_test_util.h"
#include "flood.h"
#include "forward.h"
#include "settings.h"
#include "shutdown.h"
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class Flood : public testing::Test {
protected:
    void SetUp() override
    {
        resetFmonState();
        progname = "cvfmonUdp";
        g_bFloodSimulation = 1;
        g_gwId = 9;
        g_lineNum = 258;
    }
};

TEST_F(Flood, RecordBytesVersion0)
{
    timeval t{0x01020304, 456789};
    Bytes rec(floodBuildRecord(0xBEEF, t), floodBuildRecord(0xBEEF, t) + floodRecordSize());
    ASSERT_EQ(rec.size(), 151u);
    EXPECT_EQ(hexOf(Bytes(rec.begin(), rec.begin() + 18)),
              "beef" "0000000001020304" "01c8" "09" "02" "01" "00" "0085");
    EXPECT_EQ(Bytes(rec.begin() + 18, rec.end()), Bytes(133, 0));
}

TEST_F(Flood, RecordBytesVersion1AndSmallestSize)
{
    g_bUseHeaderV0 = 0;
    EXPECT_EQ(floodRecordSize(), 153u);
    g_floodSize = 0;
    timeval t{5, 999999};
    const unsigned char *p = floodBuildRecord(1, t);
    ASSERT_EQ(floodRecordSize(), 22u);
    EXPECT_EQ(hexOf(Bytes(p, p + 22)), "0100" "0001" "0000000000000005" "03e7" "09" "02" "01" "00"
                                       "0002" "0000");
    g_bUseHeaderV0 = 1;
    EXPECT_EQ(floodRecordSize(), 20u);
}

TEST_F(Flood, LargestRecordFitsTheBuffer)
{
    g_floodSize = maxFloodSize();
    g_bUseHeaderV0 = 0;
    timeval t{1, 0};
    const unsigned char *p = floodBuildRecord(1, t);
    EXPECT_EQ(p + floodRecordSize(), g_monBuf + sizeof g_monBuf);
}

TEST(FloodRefusals, FirstOfARunIsReportedAndElevenLaterReArms)
{
    FloodRefusals r{0, 0};
    EXPECT_EQ(floodRefused(&r, 100), 1);
    EXPECT_EQ(floodRefused(&r, 101), 0);
    for (uint16_t s = 102; s <= 111; s++) {
        floodWholeWrite(&r, s);
        EXPECT_EQ(r.reported, 1) << s;
    }
    floodWholeWrite(&r, 112);
    EXPECT_EQ(r.reported, 0);
    EXPECT_EQ(floodRefused(&r, 113), 1);
}

TEST(FloodRefusals, NoWrapAroundAndOtherErrorsReArm)
{
    FloodRefusals r{0, 0};
    floodRefused(&r, 65530);
    for (uint16_t s : {0, 5, 20, 300})
        floodWholeWrite(&r, s);
    EXPECT_EQ(r.reported, 1);
    floodOtherError(&r);
    EXPECT_EQ(r.reported, 0);
    floodRefused(&r, 7);
    floodWholeWrite(&r, 18);
    EXPECT_EQ(r.reported, 0);
}

TEST_F(Flood, CountedFloodSendsExactlyThatManyAndReports)
{
    UdpCollector col;
    g_floodCount = 5;
    EXPECT_EXIT(
        {
            installExitHandler();
            runFlood();
        },
        testing::ExitedWithCode(0), "");
    std::vector<unsigned> seqs = col.seqs();
    EXPECT_EQ(seqs, (std::vector<unsigned>{0, 1, 2, 3, 4}));
}

TEST_F(Flood, ExitReportsDurationAndCount)
{
    UdpCollector col;
    g_floodCount = 3;
    g_bFloodDelay = 1;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        installExitHandler();
        runFlood();
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(out.find(", delay=40, size=151\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Flood finished: "), std::string::npos) << out;
    EXPECT_NE(out.find("\nDuration="), std::string::npos) << out;
    EXPECT_NE(out.find(", successful sends=3\n"), std::string::npos) << out;
    EXPECT_LT(out.find("Flood finished"), out.find("Duration="));
}

TEST_F(Flood, NoConnectionAbortsWithStatusZero)
{
    g_sockfd = -1;
    EXPECT_EXIT(runFlood(), testing::ExitedWithCode(0), "^Flood aborted: TCP connect failed\n$");
}

TEST_F(Flood, LostTcpConnectionEndsTheFloodAsAFailure)
{
    TcpListener l;
    g_bUseHeaderV0 = 0;
    ASSERT_EQ(l.connectCollector(), 1);
    int peer = l.acceptOne();
    linger lg{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(peer);
    // No SIGPIPE: the flood notices the loss and ends through the exit
    // handler, which reports what was sent.
    EXPECT_EXIT(
        {
            installExitHandler();
            runFlood();
        },
        testing::ExitedWithCode(1), "cvfmonUdp: Flood aborted: TCP connection lost, seq=[0-9]+");
}

TEST_F(Flood, SignalEndsAnEndlessFloodWithStatusTwo)
{
    UdpCollector col;
    g_floodCount = 0;
    EXPECT_EXIT(
        {
            installSignalHandlers();
            installExitHandler();
            std::thread([] {
                usleep(100000);
                kill(getpid(), SIGTERM);
            }).detach();
            runFlood();
        },
        testing::ExitedWithCode(2), "Signal Terminate, sig=15\n");
}

} // namespace
