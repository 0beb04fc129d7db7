// Forwarded records: header bytes, time stamps, numbering, truncation,
// pacing and the sends to a real collector on loopback.
#include "connection.h"
#include "fmon_test_util.h"
#include "forward.h"
#include "settings.h"
#include <climits>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class Forward : public testing::Test {
protected:
    void SetUp() override
    {
        resetFmonState();
        basetv = {1000, 700000};
        baseTimeStamp = 5000;
        g_gwId = 0x1A7; // only the low 8 bits reach the wire
        g_lineNum = 3;
    }
    // Forwards one record from g_monBuf as the receive loop does.
    void forward(uint32_t seq, uint32_t len, uint8_t dir = 0, unsigned long stamp = 6500)
    {
        putRecord(seq, len, dir, stamp);
        forwardRecord(g_monBuf, monrecDecode(monBufRecord()));
    }
};

TEST_F(Forward, TimeStampsBecomeTimeOfDay)
{
    const struct {
        unsigned long stamp;
        uint64_t secs;
        uint16_t msecs;
    } cases[] = {{6500, 1002, 200}, {5299, 1000, 999}, {5300, 1001, 0}, {5000, 1000, 700}};
    for (const auto &c : cases) {
        uint64_t s;
        uint16_t ms;
        ConvertTimeStamp(c.stamp, &s, &ms);
        EXPECT_EQ(s, c.secs) << c.stamp;
        EXPECT_EQ(ms, c.msecs) << c.stamp;
    }
}

TEST_F(Forward, DriverClockWrapGivesTrueElapsedTime)
{
    basetv = {1000, 0};
    baseTimeStamp = ULONG_MAX - 295; // 4294967000 in the 32-bit build
    uint64_t s;
    uint16_t ms;
    ConvertTimeStamp(500, &s, &ms);
    EXPECT_EQ(s, 1000u);
    EXPECT_EQ(ms, 796);
}

TEST_F(Forward, Version0RecordByteForByte)
{
    UdpCollector col;
    forward(74565, 4, 1);
    Bytes got = col.next();
    EXPECT_EQ(hexOf(got), "2345"             // seqNo: low 16 bits of 0x12345
                          "00000000000003ea" // 1002 s
                          "00c8"             // 200 ms
                          "a7" "03" "01" "00" // gwId, line, Tx, reserved
                          "0004" + hexOf(framePattern(74565, 4)));
}

TEST_F(Forward, Version1RecordByteForByte)
{
    UdpCollector col;
    g_bUseHeaderV0 = 0;
    forward(2, 3, 0);
    Bytes got = col.next();
    EXPECT_EQ(hexOf(got), "0100" "0002" "00000000000003ea" "00c8" "a7" "03" "00" "00" "0003" +
                              hexOf(framePattern(2, 3)));
}

TEST_F(Forward, OnlyDirectionOneIsTx)
{
    UdpCollector col;
    for (uint8_t dir : {0, 1, 2, 255})
        forward(1, 2, dir);
    for (int expect : {0, 1, 0, 0})
        EXPECT_EQ(col.next().at(14), expect);
}

TEST_F(Forward, ForwardingKeepsTheMonitorHeaderAndMovesExpected)
{
    UdpCollector col;
    putRecord(41, 16, 1, 6500);
    Bytes before(g_monBuf + MONBUF_REC_OFF, g_monBuf + MONBUF_HDR_AREA);
    forwardRecord(g_monBuf, monrecDecode(monBufRecord()));
    EXPECT_EQ(Bytes(g_monBuf + MONBUF_REC_OFF, g_monBuf + MONBUF_HDR_AREA), before);
    EXPECT_EQ(exp_seq_no, 42u);
    putRecord(UINT32_MAX, 1);
    forwardRecord(g_monBuf, monrecDecode(monBufRecord()));
    EXPECT_EQ(exp_seq_no, 0u);
}

TEST_F(Forward, LocalNumberingStartsAtZeroAndWraps)
{
    UdpCollector col;
    g_bGenerateLocalSeq = 1;
    forward(500, 1);
    g_localSeq = 65535;
    forward(501, 1);
    forward(502, 1);
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{0, 65535, 0}));
}

TEST_F(Forward, DisplayLineShowsDriverNumberAndBytesBeforeBlanking)
{
    UdpCollector col;
    g_bGenerateLocalSeq = 1;
    g_bDisplayData = 1;
    g_truncationLen = 1;
    testing::internal::CaptureStdout();
    forward(74565, 4, 1, 6500);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    Bytes f = framePattern(74565, 4);
    char line[100];
    snprintf(line, sizeof line, "Stamp=6500, seq=74565, Tx, len=4, %02x %02x\n", f[0], f[1]);
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_NE(out.find("Attempt to write frame, fd="), std::string::npos);
    EXPECT_NE(out.find("Send success, fd="), std::string::npos);
}

TEST_F(Forward, TruncationBlanksButKeepsTheLength)
{
    UdpCollector col;
    g_truncationLen = 4;
    forward(1, 10);
    Bytes v0 = col.next();
    ASSERT_EQ(v0.size(), 28u);
    EXPECT_EQ(be16(&v0[16]), 10);
    Bytes want = framePattern(1, 10);
    std::fill(want.begin() + 4, want.end(), 0);
    EXPECT_EQ(Bytes(v0.begin() + 18, v0.end()), want);

    g_bUseHeaderV0 = 0;
    forward(2, 10);
    EXPECT_EQ(col.next().size(), 30u);

    forward(3, 4); // exactly the truncation length: untouched
    Bytes exact = col.next();
    EXPECT_EQ(Bytes(exact.begin() + 20, exact.end()), framePattern(3, 4));

    g_truncationLen = 0;
    forward(4, 10);
    Bytes whole = col.next();
    EXPECT_EQ(Bytes(whole.begin() + 20, whole.end()), framePattern(4, 10));
}

TEST(Pacing, ElapsedIsCappedAtOneSecond)
{
    const struct {
        timeval now, then;
        uint32_t usecs;
    } cases[] = {
        {{10, 120}, {10, 100}, 20},
        {{10, 140}, {10, 100}, 40},
        {{11, 1}, {10, 999990}, 1000000},
        {{15, 0}, {10, 0}, 1000000},
        {{10, 50}, {10, 100}, (uint32_t)-50}, // clock stepped back
        {{9, 999999}, {10, 0}, 999999},
    };
    for (const auto &c : cases)
        EXPECT_EQ(f_elapsedUsecs(&c.now, &c.then), c.usecs);
}

TEST(Pacing, FirstSendNeverWaitsAndLaterOnesKeepTheSpacing)
{
    resetFmonState();
    g_minimumDelay = 2000;
    timeval t0, t1;
    gettimeofday(&t0, nullptr);
    f_delayLoop();
    EXPECT_EQ(bLastTimeKnown, 1);
    timeval mark = lasttv;
    f_delayLoop();
    gettimeofday(&t1, nullptr);
    // The second wait ends once 2000 us have passed, or the second changed.
    EXPECT_TRUE(t1.tv_sec != mark.tv_sec || t1.tv_usec - mark.tv_usec >= 2000);
}

TEST_F(Forward, UdpRefusalsAreReportedUnlessIgnored)
{
    UdpCollector col;
    close(col.rx); // nothing listens on the port any more
    col.rx = -1;
    progname = "cvfmonUdp";
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++)
        forward(7, 2);
    std::string noisy = testing::internal::GetCapturedStderr();
    EXPECT_NE(noisy.find("cvfmonUdp: Error in UDP write, length=20, seq=7: error=111 \n\t"),
              std::string::npos)
        << noisy;
    EXPECT_GT(g_sockfd, 0); // the UDP socket stays open

    g_bIgnoreIcmp = 1;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++)
        forward(8, 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Forward, TcpStreamCarriesRecordsBackToBack)
{
    TcpListener l;
    g_bUseHeaderV0 = 0;
    ASSERT_EQ(l.connectCollector(), 1);
    int peer = l.acceptOne();
    forward(1, 5);
    forward(2, 0);
    unsigned char buf[64];
    size_t got = 0;
    while (got < 25 + 20) {
        ssize_t n = recv(peer, buf + got, sizeof buf - got, 0);
        ASSERT_GT(n, 0);
        got += (size_t)n;
    }
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(be16(buf + 2), 1);
    EXPECT_EQ(be16(buf + 18), 5);
    EXPECT_EQ(buf[25], 1);
    EXPECT_EQ(be16(buf + 27), 2);
    close(peer);
}

TEST_F(Forward, TcpFailureClosesAndReconnectsOnlyAfterTheRetryTime)
{
    TcpListener l;
    ASSERT_EQ(l.connectCollector(), 1);
    int peer = l.acceptOne();
    linger lg{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(peer); // reset: the next sends fail
    for (int i = 0; i < 5 && g_sockfd > 0; i++) {
        forward(1, 4);
        usleep(20000);
    }
    EXPECT_EQ(g_sockfd, -1);

    // Retry time not passed: the record is dropped, no attempt is made.
    timeval now;
    f_monotonicNow(&now);
    connecttv = {now.tv_sec - 5, 0};
    forward(2, 4);
    EXPECT_EQ(g_sockfd, -1);
    EXPECT_EQ(connecttv.tv_sec, now.tv_sec - 5);

    // Passed: a new attempt, announced, and the record goes out on it.
    connecttv = {now.tv_sec - 7, 0};
    testing::internal::CaptureStderr();
    forward(3, 4);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "TCP connection successful.\n");
    ASSERT_GT(g_sockfd, 0);
    int peer2 = l.acceptOne();
    unsigned char buf[64];
    ssize_t n = recv(peer2, buf, sizeof buf, 0);
    ASSERT_GE(n, 2);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 3);
    close(peer2);
}

TEST_F(Forward, TcpReconnectionThatFailsLeavesNoSocket)
{
    TcpListener l;
    close(l.lfd); // nothing listens on the port any more
    l.lfd = -1;
    ASSERT_EQ(l.connectCollector(), 0);
    closeRemote();
    connecttv = {0, 0};
    forward(1, 4);
    EXPECT_EQ(g_sockfd, -1);
    EXPECT_NE(connecttv.tv_sec, 0);
}

} // namespace
