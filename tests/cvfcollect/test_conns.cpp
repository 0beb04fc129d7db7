// Connection slots: which one gives way when all are taken, how often
// that is reported, and when a connection holding part of a record counts
// as stalled.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "net.h"

namespace {

constexpr uint64_t kSec = 1000000000ull;
constexpr uint64_t kMs = 1000000ull;

// Slots whose connections are pipe write ends, started at the given times.
struct Table {
    ConnTable t;
    explicit Table(const std::vector<uint64_t> &startedNs)
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

// A whole record of 30 bytes, or its first 7 bytes.
struct Read {
    uint64_t atMs;
    bool whole;
};

TEST(CollectConns, WhoGivesWay)
{
    struct Case {
        const char *what;
        std::vector<uint64_t> acceptedMs;
        std::vector<std::vector<Read>> reads;  // per slot
        uint64_t nowMs;
        unsigned victim;
    } cases[] = {
        {"silent ones: the oldest", {5000, 2000, 9000}, {{}, {}, {}}, 9500, 1},
        {"a record sender stays, the silent newcomers go",
         {1000, 11000, 12000}, {{{10000, true}}, {}, {}}, 12500, 1},
        {"a drip goes before a record sender",
         {1000, 2000}, {{{1500, true}}, {{3000, false}}}, 9000, 1},
        {"a record under way is no stall yet",
         {0, 0}, {{{1000, true}, {2000, true}, {3000, true}, {3900, false}}, {{3500, true}}},
         4000, 1},
        {"one that sits inside a record stalls",
         {0, 0}, {{{1000, true}, {2000, true}, {3000, true}, {3900, false}}, {{3500, true}}},
         5000, 0},
        {"one record and nothing since goes before a steady sender",
         {0, 14000}, {{{1000, true}, {5000, true}, {10000, true}}, {{15000, true}}}, 15500, 1},
        {"a sender silent for longer than it sent goes",
         {0, 19000}, {{{1000, true}, {10000, true}}, {{20000, true}}}, 20500, 0},
        {"the credit ends after a minute",
         {0, 200000}, {{{0, true}, {100000, true}}, {{161000, true}}}, 200500, 0},
    };
    CvRecord r = {};
    r.frameLen = 10;
    uint8_t rec[30] = {};
    encodeHeader(r, 1, rec);
    for (const Case &k : cases) {
        std::vector<uint64_t> accepted;
        for (uint64_t ms : k.acceptedMs)
            accepted.push_back(ms * kMs);
        Table tb(accepted);
        for (size_t i = 0; i < k.acceptedMs.size(); i++) {
            Conn *c = &tb.t.slots[i];
            for (const Read &rd : k.reads[i]) {
                if (streamPending(&c->stream))  // completes the record begun before
                    readInto(c, rec + 7, sizeof rec - 7, rd.atMs * kMs);
                readInto(c, rec, rd.whole ? sizeof rec : 7, rd.atMs * kMs);
            }
        }
        EXPECT_EQ(evictionVictim(&tb.t, k.nowMs * kMs), &tb.t.slots[k.victim]) << k.what;
    }
}

TEST(CollectConns, EvictionsCountedOncePerInterval)
{
    EvictionReport r = {};
    EXPECT_EQ(evictionReportDue(r), UINT64_MAX);
    evictionNoted(&r, 3 * kSec);
    evictionNoted(&r, 4 * kSec);
    EXPECT_EQ(evictionReportDue(r), 13 * kSec);
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    evictionReport(&r, 13 * kSec, f);
    EXPECT_EQ(evictionReportDue(r), UINT64_MAX);
    evictionReport(&r, 20 * kSec, f);  // nothing new: no line
    evictionNoted(&r, 21 * kSec);
    evictionReport(&r, 22500 * kMs, f);  // at the end of the run
    fclose(f);
    EXPECT_STREQ(text, "cvfcollect: tcp: 2 connections evicted in the last 10 s (slots full)\n"
                       "cvfcollect: tcp: 1 connection evicted in the last 1.5 s (slots full)\n");
    free(text);
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
