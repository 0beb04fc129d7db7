// The reorder store: release order, lost-frame reports, the ring's wrap and
// dead entries. Records go in through the receive path, and come out at a
// real collector.
#include "fmon_test_util.h"
#include "forward.h"
#include "receive.h"
#include "store.h"
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr uint32_t BIG = 4000; // two of these fill the ring, three do not fit

class Store : public testing::Test {
protected:
    void SetUp() override
    {
        resetFmonState();
        col.attach();
        g_bLogStarted = 1;
    }
    void synced(uint32_t exp)
    {
        init_seq_no = 1;
        exp_seq_no = exp;
        last_searched = exp - 1; // as after the previous record
    }
    // Receives the records and returns what they printed on stderr.
    std::string receiveAll(std::initializer_list<uint32_t> seqs, uint32_t len = 8)
    {
        testing::internal::CaptureStderr();
        for (uint32_t s : seqs)
            receive(s, len);
        return testing::internal::GetCapturedStderr();
    }
    void expectEmpty()
    {
        EXPECT_EQ(store_count, 0);
        EXPECT_EQ(store_size, 0);
        EXPECT_EQ(store_start_ptr, store_wr_ptr == store_end_ptr ? store : store_wr_ptr);
    }
    UdpCollector col;
};

TEST_F(Store, ReleasesHeldRecordsInOrder)
{
    synced(10);
    EXPECT_EQ(receiveAll({10, 12, 11, 13}), "");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{10, 11, 12, 13}));
    expectEmpty();
    EXPECT_EQ(exp_seq_no, 14u);
}

TEST_F(Store, DeadEntryLeavesWithTheHead)
{
    synced(10);
    receiveAll({12, 11});
    EXPECT_EQ(store_count, 2);
    receiveAll({10});
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{10, 11, 12}));
    expectEmpty();
}

TEST_F(Store, DeadEntryBehindALiveHeadStaysUntilTheHeadGoes)
{
    synced(10);
    receiveAll({13, 11});
    receiveAll({10}); // 10 and 11 go; 11 is dead behind the live head 13
    EXPECT_EQ(store_count, 2);
    receiveAll({12});
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{10, 11, 12, 13}));
    expectEmpty();
}

TEST_F(Store, MakingRoomGivesUpOneNumber)
{
    synced(10);
    receiveAll({11, 12}, BIG);
    EXPECT_EQ(receiveAll({15}, BIG), "lost frame 10\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{11, 12}));
    EXPECT_EQ(exp_seq_no, 13u);
    EXPECT_EQ(store_count, 1);
    EXPECT_EQ(store_size, (int)(STORE_HDR_AREA + BIG));
}

TEST_F(Store, MakingRoomGivesUpARangeThenForwardsTheArrivalDirectly)
{
    synced(10);
    receiveAll({14, 15}, BIG);
    EXPECT_EQ(receiveAll({16}, BIG), "lost frames 10 to 13\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{14, 15, 16}));
    expectEmpty();
    EXPECT_EQ(receiveAll({17}), "");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{17}));
}

TEST_F(Store, ArrivalGivenUpByItsOwnMakeRoomIsKeptDead)
{
    synced(10);
    receiveAll({14, 15}, BIG);
    EXPECT_EQ(receiveAll({12}, BIG), "lost frames 10 to 13\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{14, 15}));
    EXPECT_EQ(store_count, 1); // 12, dead at once, never forwarded
    receiveAll({16});
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{16}));
}

TEST_F(Store, ExactFillNeedsNoRoomOneByteMoreDoes)
{
    synced(10);
    const uint32_t a = 4070;
    const uint32_t fill = (uint32_t)(STORE_RING - 2 * STORE_HDR_AREA - a);
    EXPECT_EQ(receiveAll({11}, a) + receiveAll({12}, fill), "");
    EXPECT_EQ(store_size, (int)STORE_RING);
    EXPECT_EQ(store_count, 2);
    EXPECT_EQ(col.seqs().size(), 0u);
    EXPECT_EQ(receiveAll({14}, 1), "lost frame 10\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{11, 12}));
}

TEST_F(Store, DuplicateHeldNumberForwardsTheEarlierArrival)
{
    synced(10);
    receive(11, 4);
    putRecord(11, 4);
    monBufFrame()[0] = 0xEE; // the later copy differs
    handleRecord((long)(MONREC_HDR_SIZE + 4));
    receive(10, 4);
    (void)col.next();
    Bytes rec11 = col.next();
    ASSERT_EQ(rec11.size(), 22u);
    EXPECT_EQ(rec11[18], framePattern(11, 4)[0]);
    EXPECT_TRUE(col.next(50).empty());
    expectEmpty();
}

// Places an empty store so that the next entry starts at pos.
void emptyStoreAt(unsigned char *pos)
{
    store_start_ptr = store_wr_ptr = pos;
}

TEST_F(Store, EntryEndingExactlyAtTheEndWrapsTheNextToTheStart)
{
    synced(10);
    const uint32_t len = 100;
    emptyStoreAt(store_end_ptr - (STORE_HDR_AREA + len));
    receive(12, len);
    EXPECT_EQ(store_wr_ptr, store_end_ptr);
    receive(11, 50);
    EXPECT_EQ(store_wr_ptr, store + STORE_HDR_AREA + 50);
    EXPECT_EQ(storeNext(store_start_ptr), store);
    receive(10, 4);
    col.next();
    Bytes r11 = col.next(), r12 = col.next();
    EXPECT_EQ(be16(r11.data()), 11);
    EXPECT_EQ(Bytes(r11.begin() + 18, r11.end()), framePattern(11, 50));
    EXPECT_EQ(Bytes(r12.begin() + 18, r12.end()), framePattern(12, len));
    expectEmpty();
}

TEST_F(Store, WrappedEntryIsSentLikeAnyOther)
{
    // Reference: the same record forwarded straight from the buffer.
    putRecord(12, 300, 1, 1234);
    forwardRecord(g_monBuf, monrecDecode(monBufRecord()));
    Bytes reference = col.next();

    // Entries starting 0, 5 and 40 bytes before the ring's end: the header
    // runs into the overflow bytes, or the frame wraps.
    for (std::size_t before : {(std::size_t)0, (std::size_t)5, (std::size_t)40}) {
        SCOPED_TRACE(before);
        synced(11);
        emptyStoreAt(before ? store_end_ptr - before : store);
        store_wr_ptr = before ? store_end_ptr - before : store_end_ptr;
        store_start_ptr = before ? store_wr_ptr : store;
        putRecord(12, 300, 1, 1234);
        handleRecord((long)(MONREC_HDR_SIZE + 300));
        ASSERT_EQ(store_count, 1);
        EXPECT_EQ(monrecDecode(store_start_ptr + MONBUF_REC_OFF).seq_no, 12u);
        receive(11, 4);
        col.next();
        EXPECT_EQ(hexOf(col.next()), hexOf(reference));
        expectEmpty();
    }
}

TEST_F(Store, ManyRoundsThroughTheRingKeepOrderAndBytes)
{
    synced(0);
    // Pairs arrive swapped, with sizes that walk the ring's end many times.
    uint32_t seq = 1;
    exp_seq_no = 1;
    for (int round = 0; round < 300; round++, seq += 2) {
        uint32_t l1 = 17 + (round * 131) % 3000, l2 = 3 + (round * 71) % 900;
        putRecord(seq + 1, l2);
        handleRecord((long)(MONREC_HDR_SIZE + l2));
        putRecord(seq, l1);
        handleRecord((long)(MONREC_HDR_SIZE + l1));
        Bytes a = col.next(), b = col.next();
        ASSERT_EQ(be16(a.data()), (uint16_t)seq);
        ASSERT_EQ(Bytes(b.begin() + 18, b.end()), framePattern(seq + 1, l2)) << round;
        ASSERT_EQ(store_count, 0);
    }
}

TEST_F(Store, SerialNumbersCrossTheWrap)
{
    synced(UINT32_MAX - 1);
    EXPECT_EQ(receiveAll({UINT32_MAX - 1, 0, 1, UINT32_MAX}), "");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{65534, 65535, 0, 1}));
    expectEmpty();
    EXPECT_EQ(exp_seq_no, 2u);
}

TEST_F(Store, LostNumberAtTheWrapIsGivenUpNotFatal)
{
    synced(UINT32_MAX);
    receiveAll({0, 1}, BIG);
    EXPECT_EQ(receiveAll({2}, BIG), "lost frame 4294967295\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{0, 1, 2}));
    // Later records are in order, not "UNEXPECTED".
    EXPECT_EQ(receiveAll({3, 4}), "");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{3, 4}));
}

TEST_F(Store, LostRangeAcrossTheWrapIsReported)
{
    synced(UINT32_MAX - 2);
    receiveAll({3, 4}, BIG);
    EXPECT_EQ(receiveAll({5}, BIG), "lost frames 4294967293 to 2\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{3, 4, 5}));
}

TEST_F(Store, InitialWindowOverflowAlreadyForwards)
{
    // Not yet synchronised: a full store gives numbers up as plain values,
    // and the arrival that is then expected goes straight out.
    receiveAll({100, 101}, BIG);
    EXPECT_EQ(receiveAll({102}, BIG), "");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{100, 101, 102}));
    EXPECT_EQ(store_count, 0);
    EXPECT_EQ(init_seq_no, 1); // the give-up has ended the window
    // Later records follow in order, and the window's timer loses nothing.
    EXPECT_EQ(receiveAll({103, 105, 104}), "");
    init_tv.tv_sec -= 1;
    testing::internal::CaptureStderr();
    onIdle();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(init_seq_no, 1);
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{103, 104, 105}));
    EXPECT_EQ(exp_seq_no, 106u);
}

TEST_F(Store, WindowOverflowAcrossTheWrapEnds)
{
    // Forwarded entries numbered near 4294967295 must still leave the store
    // once exp_seq_no has wrapped, or making room would never end.
    receiveAll({UINT32_MAX - 1, UINT32_MAX}, BIG);
    receiveAll({1}, BIG);
    receiveAll({2}, BIG);
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{65534, 65535}));
    EXPECT_EQ(exp_seq_no, 0u);
    EXPECT_EQ(store_count, 2);
}

// Draining at the end of a run: what is held goes out in order, each gap
// reported as making room reports it, and the store ends empty.
std::string drained()
{
    testing::internal::CaptureStderr();
    drain_store();
    return testing::internal::GetCapturedStderr();
}

TEST_F(Store, DrainForwardsWhatAGapHoldsBack)
{
    synced(10);
    EXPECT_EQ(receiveAll({12, 15, 13}), "");
    EXPECT_EQ(col.seqs().size(), 0u); // a quiet line releases nothing
    EXPECT_EQ(drained(), "lost frames 10 to 11\nlost frame 14\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{12, 13, 15}));
    expectEmpty();
    EXPECT_EQ(exp_seq_no, 16u);
}

TEST_F(Store, DrainPassesOverDeadEntriesAndEndsEmpty)
{
    synced(10);
    receiveAll({13, 11, 13, 10}); // 11 dead behind the live 13; a second 13
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{10, 11}));
    EXPECT_EQ(store_count, 3);
    EXPECT_EQ(drained(), "lost frame 12\n");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{13}));
    expectEmpty();
    EXPECT_EQ(drained(), ""); // nothing held: nothing to do
    EXPECT_EQ(exp_seq_no, 14u);
}

TEST_F(Store, DrainInsideTheInitialWindowStartsFromTheLowest)
{
    receiveAll({7});
    init_tv.tv_sec += 60; // the window stays open however slow the run
    EXPECT_EQ(receiveAll({5, 6}), "");
    EXPECT_EQ(init_seq_no, 0);
    EXPECT_EQ(drained(), "");
    EXPECT_EQ(col.seqs(), (std::vector<unsigned>{5, 6, 7}));
    expectEmpty();
}

} // namespace
