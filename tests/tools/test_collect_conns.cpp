// Connection slots: which one gives way when all are taken, and when a
// connection holding part of a record counts as stalled.
#include <gtest/gtest.h>

#include <unistd.h>

#include "collect_net.h"

namespace {

constexpr uint64_t kSec = 1000000000ull;

// Slots whose connections are pipe write ends, started at the given times.
struct Table {
    ConnTable t;
    explicit Table(std::initializer_list<uint64_t> startedNs)
    {
        EXPECT_TRUE(connTableOpen(&t, (unsigned)startedNs.size()));
        Conn *c = t.slots;
        for (uint64_t ns : startedNs) {
            int p[2];
            EXPECT_EQ(pipe(p), 0);
            close(p[0]);
            EXPECT_TRUE(connStart(c++, p[1], "peer", 1, 4120, ns));
        }
    }
    ~Table() { connTableClose(&t); }
};

// Buffers n bytes as one read at nowNs, taking whole records like the
// receive loop, and notes the read.
void readInto(Conn *c, const uint8_t *p, size_t n, uint64_t nowNs)
{
    size_t before = streamPending(&c->stream);
    uint64_t records = c->records;
    streamPush(&c->stream, p, n);
    CvRecord rec;
    RecordCheck why;
    while (streamNext(&c->stream, &rec, &why) == kStreamRecord)
        c->records++;
    connNoteRead(c, before, records, nowNs);
}

TEST(CollectConns, LongestIdleGivesWay)
{
    Table tb({5 * kSec, 2 * kSec, 9 * kSec});
    EXPECT_EQ(freeSlot(&tb.t), nullptr);
    EXPECT_EQ(longestIdle(&tb.t), &tb.t.slots[1]);
    // data on the oldest makes the next one the longest idle
    uint8_t hdr[4] = {1, 0, 0, 0};
    readInto(&tb.t.slots[1], hdr, sizeof hdr, 10 * kSec);
    EXPECT_EQ(longestIdle(&tb.t), &tb.t.slots[0]);
    closeConn(&tb.t.slots[0]);
    EXPECT_EQ(freeSlot(&tb.t), &tb.t.slots[0]);
    EXPECT_EQ(longestIdle(&tb.t), &tb.t.slots[2]);
}

TEST(CollectConns, StallCountsFromTheStartOfTheIncompleteRecord)
{
    Table tb({1 * kSec});
    Conn *c = &tb.t.slots[0];
    const uint64_t stall = 5 * kSec;
    CvRecord r = {};
    r.frameLen = 10;
    uint8_t rec[2 * 30] = {};
    encodeHeader(r, 1, rec);
    encodeHeader(r, 1, rec + 30);
    EXPECT_EQ(stallDue(*c, stall), UINT64_MAX);  // connected, nothing buffered
    readInto(c, rec, 7, 2 * kSec);
    EXPECT_EQ(stallDue(*c, stall), 7 * kSec);
    readInto(c, rec + 7, 10, 4 * kSec);  // more of the same record: the start stands
    EXPECT_EQ(stallDue(*c, stall), 7 * kSec);
    EXPECT_EQ(c->lastNs, 4 * kSec);
    readInto(c, rec + 17, 13 + 3, 6 * kSec);  // completes it and begins the next
    EXPECT_EQ(c->records, 1u);
    EXPECT_EQ(stallDue(*c, stall), 11 * kSec);
    readInto(c, rec + 33, 27, 8 * kSec);  // between records again
    EXPECT_EQ(stallDue(*c, stall), UINT64_MAX);
    readInto(c, rec, 1, 20 * kSec);
    EXPECT_EQ(stallDue(*c, stall), 25 * kSec);
}

}  // namespace
