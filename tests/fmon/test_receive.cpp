// The receive path: the initial window, the sequence decision and the
// checks on each datagram.
#include "connection.h"
#include "fmon_test_util.h"
#include "forward.h"
#include "receive.h"
#include "settings.h"
#include "store.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

class Receive : public testing::Test {
protected:
    void SetUp() override
    {
        resetFmonState();
        col.attach();
        progname = "cvfmonUdp";
        std::strcpy(g_device, "sync0");
    }
    // Makes the initial window older than its 10 ms.
    void ageWindow() { init_tv.tv_sec -= 1; }
    std::string capture(void (*f)())
    {
        testing::internal::CaptureStderr();
        f();
        return testing::internal::GetCapturedStderr();
    }
    UdpCollector col;
};

TEST_F(Receive, QuietLineClosesTheWindowOnIdle)
{
    testing::internal::CaptureStderr();
    receive(100);
    receive(102);
    receive(101);
    onIdle(); // window still young
    EXPECT_EQ(init_seq_no, 0);
    ageWindow();
    onIdle();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{100, 101, 102}));
}

// How the initial window ends: the line goes quiet, a record arrives after
// it, the store has no room for the next one, or the run stops.
enum class WindowEnd { Idle, Arrival, Full, Stop };

struct WindowCase {
    const char *what;
    std::vector<uint32_t> seqs; // received in this order (Arrival: the last after the window)
    WindowEnd end;
    uint32_t len;
    std::vector<unsigned> forwarded; // wire numbers, in order
    const char *err;
    int held; // records still in the store
};

TEST_F(Receive, WindowStartsAtTheLowestHeldInSequenceOrder)
{
    constexpr uint32_t TOP = UINT32_MAX, BIG = 4000;
    const WindowCase cases[] = {
        {"numbered from 0", {0, 1, 2}, WindowEnd::Idle, 8, {0, 1, 2}, "", 0},
        {"nothing expected before 1", {1, 2, 3, 4}, WindowEnd::Arrival, 8, {1, 2, 3, 4}, "", 0},
        {"out of order", {7, 5, 6}, WindowEnd::Idle, 8, {5, 6, 7}, "", 0},
        {"across the wrap", {TOP - 1, TOP, 0, 1}, WindowEnd::Idle, 8, {65534, 65535, 0, 1}, "", 0},
        {"across the wrap, out of order", {1, 0, TOP}, WindowEnd::Idle, 8, {65535, 0, 1}, "", 0},
        {"a gap inside the window waits", {0, 2}, WindowEnd::Idle, 8, {0}, "", 1},
        {"store full across the wrap", {TOP, TOP - 1, 0}, WindowEnd::Full, BIG,
         {65534, 65535, 0}, "", 0},
        {"a stop gives the gap up", {2, 0}, WindowEnd::Stop, 8, {0, 2}, "lost frame 1\n", 0},
    };
    for (const WindowCase &c : cases) {
        SCOPED_TRACE(c.what);
        closeRemote();
        SetUp();
        testing::internal::CaptureStderr();
        std::size_t inWindow = c.seqs.size() - (c.end == WindowEnd::Arrival ? 1 : 0);
        for (std::size_t i = 0; i < inWindow; i++) {
            receive(c.seqs[i], c.len);
            if (i == 0)
                init_tv.tv_sec += 60; // the window stays open however slow the run
        }
        EXPECT_EQ(init_seq_no, c.end == WindowEnd::Full ? 1 : 0);
        init_tv.tv_sec -= 61; // now it is over
        if (c.end == WindowEnd::Idle)
            onIdle();
        else if (c.end == WindowEnd::Arrival)
            receive(c.seqs.back(), c.len);
        else if (c.end == WindowEnd::Stop)
            drain_store();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(col.seqs(), c.forwarded);
        EXPECT_EQ(init_seq_no, 1);
        EXPECT_EQ(store_count, c.held);
    }
}

TEST_F(Receive, TimeBaseComesFromTheFirstRecordEvenWhenHeld)
{
    putRecord(9, 4, 0, 123456);
    handleRecord((long)(MONREC_HDR_SIZE + 4));
    EXPECT_EQ(g_bLogStarted, 1);
    EXPECT_EQ(baseTimeStamp, 123456ul);
    putRecord(10, 4, 0, 999);
    handleRecord((long)(MONREC_HDR_SIZE + 4));
    EXPECT_EQ(baseTimeStamp, 123456ul);
}

TEST_F(Receive, BehindIsReportedAndDropped)
{
    init_seq_no = 1;
    exp_seq_no = 50;
    testing::internal::CaptureStderr();
    receive(49);
    receive(50);
    receive(50);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "UNEXPECTED sequence number: 49, expected: 50\n"
              "UNEXPECTED sequence number: 50, expected: 51\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{50}));
    EXPECT_EQ(exp_seq_no, 51u);
}

TEST_F(Receive, MalformedDatagramsAreDiscardedAndCounted)
{
    init_seq_no = 1;
    exp_seq_no = 5;
    testing::internal::CaptureStderr();
    putRecord(5, 10);
    handleRecord((long)MONREC_HDR_SIZE - 1); // shorter than a header
    handleRecord(0);
    handleRecord((long)(MONREC_HDR_SIZE + 9)); // frame cut short
    putRecord(5, 4097);                        // frame too long
    handleRecord((long)MONREC_MAX_SIZE);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "cvfmonUdp: sync0: monitor record discarded, shorter than a record header (" +
                       std::to_string(MONREC_HDR_SIZE - 1) + " bytes received)\n");
    EXPECT_EQ(g_discarded, 4ul);
    EXPECT_EQ(g_bLogStarted, 0);
    EXPECT_EQ(exp_seq_no, 5u);
    EXPECT_EQ(store_count, 0);
    EXPECT_TRUE(col.next(50).empty());

    // The count follows once a second has passed.
    sleep(1);
    testing::internal::CaptureStderr();
    onIdle();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cvfmonUdp: sync0: 3 more monitor records discarded\n");

    receive(5, 4); // a whole record still goes through
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{5}));
}

// The first discard of a run is reported with its reason.
std::string discardReport(uint32_t length, long received)
{
    putRecord(1, 100);
    MonHeader h = monrecDecode(monBufRecord());
    h.length = length;
    monrecEncode(monBufRecord(), h);
    testing::internal::CaptureStderr();
    handleRecord(received);
    return testing::internal::GetCapturedStderr();
}

TEST_F(Receive, FrameCutShortIsDiscarded)
{
    EXPECT_NE(discardReport(10, (long)MONREC_HDR_SIZE + 9).find("shorter than its frame length"),
              std::string::npos);
}

TEST_F(Receive, FrameLongerThanAnyFrameIsDiscarded)
{
    EXPECT_NE(discardReport(UINT32_MAX, (long)MONREC_MAX_SIZE).find("frame length above 4096"),
              std::string::npos);
}

TEST_F(Receive, LongestFrameIsAccepted)
{
    init_seq_no = 1;
    exp_seq_no = 5;
    receive(5, 4096);
    Bytes b = col.next();
    ASSERT_EQ(b.size(), 4096u + 18);
    EXPECT_EQ(Bytes(b.begin() + 18, b.end()), framePattern(5, 4096));
}

// Records that the stop has no time left to forward are counted.
TEST_F(Receive, QueuedRecordsBeyondTheStopsTimeAreCounted)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    g_ifInfo.sock = fds[0];
    g_bMonitorBound = 1;
    init_seq_no = 1;
    exp_seq_no = 10;
    for (uint32_t seq = 10; seq < 20; seq++) {
        long n = putRecord(seq, 8);
        ASSERT_EQ(send(fds[1], monBufRecord(), (size_t)n, 0), n);
    }
    // The second send waits past the time the stop gives to handling. The
    // pacing ends a wait at the next second of the time of day, so the stop
    // starts just after one.
    g_minimumDelay = 350000;
    timeval now;
    gettimeofday(&now, nullptr);
    usleep((useconds_t)(1000000 - now.tv_usec));
    EXPECT_EQ(capture(takeQueuedRecords),
              "cvfmonUdp: sync0: 8 frames not forwarded: the stop's time ran out\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{10, 11}));
    close(fds[0]);
    close(fds[1]);
}

TEST(ElapsedMilliSecs, TruncatesTowardZero)
{
    timeval a{10, 500}, b{10, 0}, c{11, 999000}, d{12, 0};
    EXPECT_EQ(elapsedMilliSecs(&a, &b), 0);
    EXPECT_EQ(elapsedMilliSecs(&d, &c), 1);
    EXPECT_EQ(elapsedMilliSecs(&d, &b), 2000);
    EXPECT_EQ(elapsedMilliSecs(&b, &d), -2000);
}

} // namespace
