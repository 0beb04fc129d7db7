// Summary text, JSON and time-stamp formatting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "summary.h"
#include "line_table.h"

namespace {

template <class Fill>
std::string capture(Fill fill)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    fill(f);
    fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

// A line table, emptied after each test.
class CollectReport : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lineTableOpen(&t)); }
    void TearDown() override { lineTableClose(&t); }
    void addRecords();
    LineTable t;
};

void CollectReport::addRecords()
{
    CvRecord r = {};
    r.gwId = 9;
    r.lineNum = 1;
    r.frameLen = 100;
    r.recordLen = 118;
    r.stampSecs = 1700000000;
    r.stampMsecs = 7;
    r.txFlag = 1;
    for (uint16_t s : {10, 11, 13}) {
        r.seqNo = s;
        lineTableRecord(&t, r, 1000000000ull * s);
    }
    uint8_t junk[4] = {};
    lineTableInvalid(&t, kRecShort, junk, sizeof junk, 0);
}

TEST_F(CollectReport, StampFormats)
{
    char b[64];
    formatStamp(b, sizeof b, 1700000000, 7, 1);
    EXPECT_STREQ(b, "2023-11-14T22:13:20.007Z");
    formatTimeOfDay(b, sizeof b, 1700000000, 999, 1);
    EXPECT_STREQ(b, "22:13:20.999");
    formatStamp(b, sizeof b, 0xffffffffffffffffull, 1, 1);  // no calendar date: the number
    EXPECT_STREQ(b, "18446744073709551615.001");
}

TEST_F(CollectReport, SummaryHasTotalsAndOneLinePerLine)
{
    addRecords();
    std::string s = capture([&](FILE *f) { printSummary(f, t, 1); });
    EXPECT_NE(s.find("total: records=3 bytes=354 frame_bytes=300 tx=3 rx=0 lost=1 duplicates=0 "
                     "out_of_order=0 restarts=0 invalid=1 duration=3.000 records/s=1.0 "
                     "bytes/s=118.0"),
              std::string::npos)
        << s;
    EXPECT_NE(s.find("invalid: short=1\n"), std::string::npos) << s;
    EXPECT_NE(s.find("gw=9 line=1 records=3 "), std::string::npos) << s;
    EXPECT_NE(s.find("first_seq=10 last_seq=13 first=2023-11-14T22:13:20.007Z"),
              std::string::npos)
        << s;
}

TEST_F(CollectReport, JsonCarriesTheSameFigures)
{
    addRecords();
    std::string j = capture([&](FILE *f) { EXPECT_TRUE(writeJson(f, t)); });
    for (const char *want :
         {"\"records\": 3, \"bytes\": 354, \"frame_bytes\": 300, \"tx\": 3, \"rx\": 0, "
          "\"lost\": 1, \"duplicates\": 0, \"out_of_order\": 0, \"restarts\": 0, "
          "\"invalid\": 1, \"duration\": 3.000000",
          "\"invalid_by\": {\"short\": 1,", "\"lines\": [\n    {\"gw\": 9, \"line\": 1, ",
          "\"first_seq\": 10, \"last_seq\": 13, \"first_stamp_secs\": 1700000000, "
          "\"first_stamp_ms\": 7"})
        EXPECT_NE(j.find(want), std::string::npos) << want << "\n" << j;
    EXPECT_EQ(j.back(), '\n');
    EXPECT_EQ(j[j.size() - 2], '}');
}

TEST_F(CollectReport, JsonWithoutRecordsIsWellFormed)
{
    std::string j = capture([&](FILE *f) { writeJson(f, t); });
    EXPECT_NE(j.find("\"lines\": []"), std::string::npos) << j;
}

}  // namespace
