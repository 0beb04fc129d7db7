// Image generator, Intel HEX writer and reader, and the block table.
#include "tolvi_blocks.h"
#include "tolvi_hex.h"
#include "tolvi_test_util.h"

namespace {

// A HEX file in a scratch location.
struct HexFile {
    char path[64] = "/tmp/simtolvi-hex-XXXXXX";
    HexFile() { close(mkstemp(path)); }
    ~HexFile() { unlink(path); }
    void write(const std::string &text) const
    {
        FILE *f = fopen(path, "w");
        fputs(text.c_str(), f);
        fclose(f);
    }
};

struct Loaded {
    int rc;
    std::vector<unsigned char> img;
    size_t extent;
    std::string err;
};

Loaded load(const HexFile &h, size_t cap = kTolviImageMax)
{
    Loaded l{0, std::vector<unsigned char>(kTolviImageMax, 0xFF), 0, ""};
    char err[512] = "";
    l.rc = tolviReadHex(h.path, l.img.data(), cap, &l.extent, err, sizeof err);
    l.err = err;
    return l;
}

} // namespace

TEST(TolviImage, HeaderFieldsAreWhereTheFlashUtilityReadsThem)
{
    std::vector<unsigned char> img(45312);
    uint32_t version;
    ASSERT_EQ(tolviParseVersion("1.0.0.3", &version), 0);
    EXPECT_EQ(version, 0x01000003u);
    tolviMakeImage(img.data(), img.size(), version, 0x1234, 1, 7);
    const unsigned char magic[] = {0x5E, 0xBA, 0xDE, 0xC0};
    EXPECT_EQ(memcmp(img.data(), magic, 4), 0);
    EXPECT_EQ(img[12], 3);  // bytes 15..12 read as 1.0.0.3
    EXPECT_EQ(img[15], 1);
    EXPECT_EQ(getLe32(&img[kHdrLength]), 45312u);
    EXPECT_EQ(getLe32(&img[kHdrStart]), 0x1234u);
    uint32_t sum = 0;
    for (size_t i = kTolviHeaderSize; i < img.size(); ++i)
        sum += img[i];
    EXPECT_EQ(getLe32(&img[kHdrChecksum]), sum);
    size_t erased = 0;
    for (unsigned char b : img)
        erased += b == 0xFF;
    EXPECT_LT(erased, img.size() / 16) << "an image should not look blank";

    for (const char *bad : {"1.0.0", "256.0.0.0", "1.2.3.4.5", "a.b.c.d", "1.2.3.4x", "-1.0.0.0"})
        EXPECT_EQ(tolviParseVersion(bad, &version), -1) << bad;
}

TEST(TolviHex, WrittenImagesReadBackExactly)
{
    for (size_t len : {28u, 4097u, 65536u, 70000u, 131072u}) {
        std::vector<unsigned char> img(len);
        tolviMakeImage(img.data(), len, 0x02010000, 0x1C, 1, (uint32_t)len);
        HexFile h;
        FILE *f = fopen(h.path, "w");
        ASSERT_EQ(tolviWriteHex(f, img.data(), len, 0x1C), 0);
        fclose(f);
        Loaded l = load(h);
        ASSERT_EQ(l.rc, 0) << l.err;
        EXPECT_EQ(l.extent, len);
        EXPECT_EQ(memcmp(l.img.data(), img.data(), len), 0) << len;
        for (size_t i = len; i < kTolviImageMax; ++i)
            ASSERT_EQ(l.img[i], 0xFF) << "byte beyond the image at " << i;
    }
}

TEST(TolviHex, WriterProducesStandardRecords)
{
    std::vector<unsigned char> img(0x10010, 0xAB);
    HexFile h;
    FILE *f = fopen(h.path, "w");
    ASSERT_EQ(tolviWriteHex(f, img.data(), img.size(), 0x1C), 0);
    fclose(f);
    std::vector<std::string> lines;
    char line[128];
    f = fopen(h.path, "r");
    while (fgets(line, sizeof line, f))
        lines.push_back(line);
    fclose(f);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], ":020000040000FA\n");
    EXPECT_EQ(lines[1], ":10000000ABABABABABABABABABABABABABABABAB40\n");
    EXPECT_EQ(lines[lines.size() - 4], ":020000040001F9\n");
    EXPECT_EQ(lines[lines.size() - 2], ":040000050000001CDB\n");
    EXPECT_EQ(lines.back(), ":00000001FF\n");
}

TEST(TolviHex, ReaderFollowsAddressRecordsAndAcceptsLowerCase)
{
    HexFile h;
    h.write(":0B0010006164647265737320676170A7\n"  // a standard example record
            ":020000021000EC\n"                   // segment 0x1000: offset 0x10000
            ":0100100042ad\n"
            ":00000001FF\n"
            ":020000040001F9\n"                   // still read after end-of-file
            ":01FFFF000001\n"
            "\r\n");
    Loaded l = load(h);
    ASSERT_EQ(l.rc, 0) << l.err;
    EXPECT_EQ(memcmp(&l.img[0x10], "address gap", 11), 0);
    EXPECT_EQ(l.img[0x10010], 0x42);
    EXPECT_EQ(l.img[0x1FFFF], 0x00);
    EXPECT_EQ(l.extent, 0x20000u);
}

TEST(TolviHex, ReaderRefusesMalformedFilesWithFileAndLine)
{
    struct {
        const char *text;
        const char *why;
    } cases[] = {
        {":0100000042BE\n", "bad record checksum"},
        {":0200000042BC\n", "byte count does not match"},
        {"0100000042BD\n", "no start code"},
        {":0100000G42BD\n", "malformed record"},
        {":00000006FA\n", "unsupported record type"},
        {":020000040002F8\n:0100000042BD\n", "data beyond the image"},
        {":0200000400\n", "byte count does not match"},
    };
    for (const auto &c : cases) {
        HexFile h;
        h.write(c.text);
        Loaded l = load(h);
        EXPECT_EQ(l.rc, -1) << c.text;
        EXPECT_NE(l.err.find(c.why), std::string::npos) << l.err;
        EXPECT_NE(l.err.find(std::string(h.path) + ":"), std::string::npos) << l.err;
    }
    HexFile h;
    h.write(":10FFF80000000000000000000000000000000000F9\n");
    EXPECT_EQ(load(h, 0x10000).rc, -1) << "a record that crosses the end of the room";
    EXPECT_EQ(load(h).rc, 0);
}

TEST(TolviBlocks, ScanFindsImagesTheirSecondBlocksAndStrayBytes)
{
    std::vector<unsigned char> f(kTolviFlashSize, 0xFF);
    tolviMakeImage(&f[0x50000], 70000, 0x01010000, 0, 1, 1);   // blocks 8-9
    tolviMakeImage(&f[0x30000], 0x10000, 0x01000003, 0, 1, 2);  // fills block 6
    f[0x08000 + 0x7FFF] = 0x7F;                                 // last byte of block 3
    TolviBlockInfo info[kTolviBlocks];
    tolviScanBlocks(f.data(), info);
    EXPECT_TRUE(info[3].used);
    EXPECT_FALSE(info[3].hasHeader);
    EXPECT_FALSE(info[2].used);
    EXPECT_TRUE(info[6].hasHeader);
    EXPECT_EQ(info[6].version, 0x01000003u);
    EXPECT_EQ(info[7].continues, -1) << "an image of exactly one block stops there";
    EXPECT_FALSE(info[7].used);
    EXPECT_EQ(info[8].length, 70000u);
    EXPECT_EQ(info[9].continues, 8);
    EXPECT_TRUE(info[9].used);
    EXPECT_EQ(info[10].continues, -1);

    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    tolviPrintBlocks(out, info);
    fclose(out);
    std::string table(text);
    free(text);
    EXPECT_NE(table.find("    8  0x50000  0x10000  0xC0DEBA5E   70000  1.1.0.0          used\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("    9  0x60000  0x10000  -                -  (image of 8)     used\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("   10  0x70000  0x10000  -                -  -                free\n"),
              std::string::npos)
        << table;
}
