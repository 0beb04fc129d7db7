// pcapng blocks, rotated file names and the capture writer.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "pcapng.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint16_t le16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

struct Block {
    uint32_t type;
    Bytes body;                              // between the two lengths
    std::multimap<uint16_t, Bytes> options;  // parsed from optAt on
};

// Splits a file into blocks, checking both lengths of each; the options
// start at the fixed part's end, which depends on the type.
std::vector<Block> readBlocks(const Bytes &f)
{
    std::vector<Block> out;
    size_t at = 0;
    while (at < f.size()) {
        EXPECT_GE(f.size() - at, 12u);
        uint32_t len = le32(&f[at + 4]);
        EXPECT_EQ(len % 4, 0u);
        EXPECT_LE(len, f.size() - at);
        if (len < 12 || len > f.size() - at)
            return out;
        EXPECT_EQ(le32(&f[at + len - 4]), len) << "trailing length at " << at;
        Block b = {le32(&f[at]), Bytes(f.begin() + (long)at + 8, f.begin() + (long)at + len - 4), {}};
        size_t fixed = b.type == kBlockShb ? 16 : b.type == kBlockIdb ? 8 : b.type == kBlockIsb ? 12 : 20;
        if (b.type == kBlockEpb)
            fixed += (le32(&b.body[12]) + 3) & ~3u;
        size_t o = fixed;
        for (;;) {
            EXPECT_LE(o + 4, b.body.size());
            if (o + 4 > b.body.size())
                break;
            uint16_t code = le16(&b.body[o]), olen = le16(&b.body[o + 2]);
            if (code == kOptEndOfOpt) {
                EXPECT_EQ(o + 4, b.body.size()) << "bytes after the end of options";
                break;
            }
            b.options.emplace(code, Bytes(b.body.begin() + (long)o + 4,
                                          b.body.begin() + (long)o + 4 + olen));
            o += 4 + ((olen + 3u) & ~3u);
        }
        out.push_back(b);
        at += len;
    }
    return out;
}

std::string text(const Block &b, uint16_t code)
{
    auto it = b.options.find(code);
    return it == b.options.end() ? "<none>" : std::string(it->second.begin(), it->second.end());
}

// The writer's notices not yet read, as lines of text.
std::string noticeTexts(PcapWriter *w)
{
    std::string all;
    PcapNotice n;
    while (pcapNextNotice(w, &n)) {
        char text[4608];
        pcapNoticeText(n, text, sizeof text);
        all += text;
        all += '\n';
    }
    return all;
}

PcapPacket packet(unsigned iface, uint32_t len, uint64_t drops = 0)
{
    static uint8_t data[kMaxPacket];
    for (size_t i = 0; i < sizeof data; i++)
        data[i] = (uint8_t)(i * 7 + 1);
    static char name[32];
    snprintf(name, sizeof name, "if%u", iface);
    return {iface, name, "test", 1700000000123ull, kEpbOutbound, drops, data, len, len + 10};
}

TEST(Pcapng, SectionHeaderBytes)
{
    uint8_t b[kMaxBlockLen];
    size_t n = encodeShb(b, "cvfcollect");
    const uint8_t want[] = {
        0x0a, 0x0d, 0x0d, 0x0a, 48, 0, 0, 0,                    // type, length
        0x4d, 0x3c, 0x2b, 0x1a, 1, 0, 0, 0,                     // byte-order magic, 1.0
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,         // section length unknown
        4, 0, 10, 0, 'c', 'v', 'f', 'c', 'o', 'l', 'l', 'e',    // shb_userappl
        'c', 't', 0, 0, 0, 0, 0, 0, 48, 0, 0, 0,                // pad, end, length
    };
    ASSERT_EQ(n, sizeof want);
    EXPECT_EQ(Bytes(b, b + n), Bytes(want, want + sizeof want));
}

TEST(Pcapng, InterfaceOptionsPaddedAndCut)
{
    uint8_t b[kMaxBlockLen];
    std::string longDescr(kMaxOptText + 50, 'd');
    for (std::string name : {"", "g", "gw1-", "gw1-line2", "gw255-line255"}) {
        size_t n = encodeIdb(b, 140, name.c_str(), longDescr.c_str());
        auto blocks = readBlocks(Bytes(b, b + n));
        ASSERT_EQ(blocks.size(), 1u) << name;
        const Block &idb = blocks[0];
        EXPECT_EQ(idb.type, kBlockIdb);
        EXPECT_EQ(le16(&idb.body[0]), 140);
        EXPECT_EQ(le32(&idb.body[4]), kSnapLen);
        EXPECT_EQ(text(idb, kOptIfName), name);
        EXPECT_EQ(text(idb, kOptIfDescription), longDescr.substr(0, kMaxOptText));
        EXPECT_EQ(idb.options.find(kOptIfTsresol)->second, Bytes{kTsresolMs});
    }
}

TEST(Pcapng, PacketBlockFieldsPaddingAndOptions)
{
    static uint8_t b[kMaxBlockLen];
    for (uint32_t len : {0u, 1u, 2u, 3u, 4u, 5u, 4096u, (uint32_t)kMaxPacket}) {
        for (uint64_t drops : {0ull, 3ull, 1ull << 40}) {
            PcapPacket p = packet(7, len, drops);
            p.stamp = 0x0000018bd5a1c2e3ull;
            size_t n = encodeEpb(b, 5, p);
            ASSERT_EQ(n, encodeEpb(nullptr, 5, p));
            ASSERT_LE(n, kMaxBlockLen);
            auto blocks = readBlocks(Bytes(b, b + n));
            ASSERT_EQ(blocks.size(), 1u);
            const Bytes &body = blocks[0].body;
            EXPECT_EQ(le32(&body[0]), 5u);
            EXPECT_EQ(le32(&body[4]), 0x0000018bu);  // stamp, high word first
            EXPECT_EQ(le32(&body[8]), 0xd5a1c2e3u);
            EXPECT_EQ(le32(&body[12]), len);
            EXPECT_EQ(le32(&body[16]), len + 10);
            EXPECT_EQ(Bytes(body.begin() + 20, body.begin() + 20 + len), Bytes(p.data, p.data + len));
            for (size_t pad = 20 + len; pad % 4; pad++)
                EXPECT_EQ(body[pad], 0) << "padding of " << len;
            auto &o = blocks[0].options;
            ASSERT_EQ(o.count(kOptEpbFlags), 1u);
            EXPECT_EQ(le32(o.find(kOptEpbFlags)->second.data()), kEpbOutbound);
            ASSERT_EQ(o.count(kOptEpbDropCount), drops ? 1u : 0u);
            if (drops) {
                const uint8_t *d = o.find(kOptEpbDropCount)->second.data();
                EXPECT_EQ(le32(d) | (uint64_t)le32(d + 4) << 32, drops);
            }
        }
    }
}

TEST(Pcapng, LinkTypes)
{
    struct {
        const char *arg;
        int ok;
        uint16_t type;
    } cases[] = {
        {"mtp2", 1, 140}, {"lapd", 1, 203}, {"frelay", 1, 107}, {"chdlc", 1, 104},
        {"ppp-hdlc", 1, 50}, {"0", 1, 0}, {"147", 1, 147}, {"65535", 1, 65535},
        {"65536", 0, 0}, {"", 0, 0}, {"MTP2", 0, 0}, {"-1", 0, 0}, {"1x", 0, 0},
        {"0000140", 0, 0}, {"mtp", 0, 0},
    };
    for (auto &c : cases) {
        uint16_t t = 9;
        EXPECT_EQ(parseLinkType(c.arg, &t), c.ok) << c.arg;
        EXPECT_EQ(t, c.ok ? c.type : 9) << c.arg;
    }
    char names[128];
    linkTypeNames(names, sizeof names);
    EXPECT_STREQ(names, "mtp2, lapd, frelay, chdlc, ppp-hdlc");
}

TEST(Pcapng, RotationNames)
{
    struct {
        const char *path, *stem, *ext, *first;
    } cases[] = {
        {"capture.pcapng", "capture", ".pcapng", "capture-00001.pcapng"},
        {"/var/lib/c/capture.pcapng", "/var/lib/c/capture", ".pcapng",
         "/var/lib/c/capture-00001.pcapng"},
        {"dir.d/capture", "dir.d/capture", "", "dir.d/capture-00001"},
        {".hidden", ".hidden", "", ".hidden-00001"},
        {"a.b.pcap", "a.b", ".pcap", "a.b-00001.pcap"},
        {"x.", "x", ".", "x-00001."},
    };
    for (auto &c : cases) {
        RotationName rn;
        ASSERT_TRUE(splitRotationName(c.path, &rn)) << c.path;
        EXPECT_STREQ(rn.stem, c.stem);
        EXPECT_STREQ(rn.ext, c.ext);
        char out[64];
        ASSERT_TRUE(rotationPath(rn, 1, out, sizeof out));
        EXPECT_STREQ(out, c.first);
    }
    RotationName rn;
    EXPECT_FALSE(splitRotationName("dir/", &rn));
    EXPECT_FALSE(splitRotationName("", &rn));
    ASSERT_TRUE(splitRotationName("c.pcapng", &rn));
    char out[64];
    ASSERT_TRUE(rotationPath(rn, 1234567, out, sizeof out));
    EXPECT_STREQ(out, "c-1234567.pcapng");
    EXPECT_FALSE(rotationPath(rn, 1, out, 10));
}

// A fresh directory, removed with its files at the end.
struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/pcapng-test-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { EXPECT_EQ(system(("rm -rf " + path).c_str()), 0); }
    std::string at(const std::string &name) const { return path + "/" + name; }
};

void writeFile(const std::string &p, const std::string &content = "")
{
    FILE *f = fopen(p.c_str(), "w");
    ASSERT_TRUE(f) << p;
    fputs(content.c_str(), f);
    fclose(f);
}

Bytes readFile(const std::string &p)
{
    Bytes out;
    FILE *f = fopen(p.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

TEST(Pcapng, HighestRotationIgnoresOtherNames)
{
    TempDir d;
    for (const char *n : {"cap-00003.pcapng", "cap-00012.pcapng", "cap-99.pcapng.tmp",
                          "cap-00500.pcap", "capx-00900.pcapng", "cap-0x20.pcapng", "cap-.pcapng",
                          "cap-99999999999999999999.pcapng"})
        writeFile(d.at(n));
    RotationName rn;
    ASSERT_TRUE(splitRotationName(d.at("cap.pcapng").c_str(), &rn));
    EXPECT_EQ(highestRotation(rn), 12u);
    ASSERT_TRUE(splitRotationName(d.at("none.pcapng").c_str(), &rn));
    EXPECT_EQ(highestRotation(rn), 0u);
}

PcapSettings settings(const std::string &path, uint64_t bytes = 0, uint64_t ns = 0,
                      unsigned keep = 0)
{
    static std::string keepPath;
    keepPath = path;
    return {keepPath.c_str(), "test", 203, bytes, ns, keep};
}

// Interfaces of each file are numbered from 0, described before their
// first packet; a size rotation never lets a file pass the limit.
TEST(PcapWriter, SizeRotationDescribesInterfacesPerFile)
{
    TempDir d;
    writeFile(d.at("c-00007.pcapng"));  // an earlier run's file stays
    PcapWriter w = {};
    ASSERT_TRUE(pcapOpen(&w, settings(d.at("c.pcapng"), 1000), 0));
    for (unsigned i = 0; i < 12; i++)
        pcapWrite(&w, packet(i % 3 == 2 ? 300 : 4, 150), i);
    ASSERT_TRUE(pcapClose(&w));
    EXPECT_TRUE(readFile(d.at("c-00007.pcapng")).empty());
    unsigned packets = 0;
    for (int n = 8;; n++) {
        char name[32];
        snprintf(name, sizeof name, "c-%05d.pcapng", n);
        Bytes f = readFile(d.at(name));
        if (f.empty()) {
            EXPECT_GT(n, 8);
            break;
        }
        EXPECT_LE(f.size(), 1000u) << name;  // the statistics blocks at its end included
        auto blocks = readBlocks(f);
        ASSERT_GE(blocks.size(), 3u) << name;
        EXPECT_EQ(blocks[0].type, kBlockShb);
        std::vector<std::string> ifaces;
        size_t isbs = 0;
        for (const Block &b : blocks) {
            isbs += b.type == kBlockIsb;
            if (b.type == kBlockIdb) {
                ifaces.push_back(text(b, kOptIfName));
                EXPECT_EQ(le16(&b.body[0]), 203);
            } else if (b.type == kBlockEpb) {
                uint32_t id = le32(&b.body[0]);
                ASSERT_LT(id, ifaces.size()) << name << ": packet before its interface";
                EXPECT_EQ(ifaces[id], packets % 3 == 2 ? "if300" : "if4");
                packets++;
            }
        }
        EXPECT_EQ(isbs, ifaces.size()) << name;
        EXPECT_EQ(blocks.back().type, kBlockIsb) << name;
        std::sort(ifaces.begin(), ifaces.end());
        EXPECT_EQ(ifaces, (std::vector<std::string>{"if300", "if4"})) << name;
    }
    EXPECT_EQ(packets, 12u);
}

TEST(PcapWriter, TimeRotationKeepsTheNewestOfThisRun)
{
    TempDir d;
    writeFile(d.at("t-00001"));  // not this run's: never removed
    PcapWriter w = {};
    ASSERT_TRUE(pcapOpen(&w, settings(d.at("t"), 0, 1000, 2), 0));
    for (uint64_t now : {0, 999, 1000, 1500, 2000, 2001, 5000})
        pcapWrite(&w, packet(1, 10), now);
    ASSERT_TRUE(pcapClose(&w));
    // files 2 (0, 999), 3 (1000, 1500), 4 (2000, 2001), 5 (5000)
    EXPECT_EQ(access(d.at("t-00001").c_str(), F_OK), 0);
    EXPECT_NE(access(d.at("t-00002").c_str(), F_OK), 0);
    EXPECT_NE(access(d.at("t-00003").c_str(), F_OK), 0);
    auto count = [](const Bytes &f) {
        int n = 0;
        for (const Block &b : readBlocks(f))
            n += b.type == kBlockEpb;
        return n;
    };
    EXPECT_EQ(count(readFile(d.at("t-00004"))), 2);
    EXPECT_EQ(count(readFile(d.at("t-00005"))), 1);
}

TEST(PcapWriter, SingleFileReplacedButNeverThroughLinks)
{
    TempDir d;
    std::string target = d.at("target"), cap = d.at("cap.pcapng");
    writeFile(target, "precious");
    ASSERT_EQ(symlink(target.c_str(), cap.c_str()), 0);
    PcapWriter w = {};
    EXPECT_FALSE(pcapOpen(&w, settings(cap), 0));
    pcapClose(&w);
    std::string err = noticeTexts(&w);
    ASSERT_EQ(unlink(cap.c_str()), 0);
    ASSERT_EQ(link(target.c_str(), cap.c_str()), 0);
    w = {};
    EXPECT_FALSE(pcapOpen(&w, settings(cap), 0));
    pcapClose(&w);
    err += noticeTexts(&w);
    EXPECT_NE(err.find("cannot create capture file " + cap + ": it is a symbolic link"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("cannot replace capture file " + cap + ": Too many links"),
              std::string::npos)
        << err;
    EXPECT_EQ(readFile(target), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));

    ASSERT_EQ(unlink(cap.c_str()), 0);
    writeFile(cap, std::string(5000, 'x'));
    w = {};
    ASSERT_TRUE(pcapOpen(&w, settings(cap), 0));
    pcapWrite(&w, packet(1, 3), 0);
    ASSERT_TRUE(pcapClose(&w));
    auto blocks = readBlocks(readFile(cap));
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[2].type, kBlockEpb);
    EXPECT_EQ(blocks[3].type, kBlockIsb);
}

// Lowers the file size limit (writes past it fail with EFBIG rather than
// raise SIGXFSZ) and puts the limit and the signal back as they were, also
// when the test ends early.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldSig_ = signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {bytes, old_.rlim_max};
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    }
    ~FileSizeLimit() { restore(); }
    void restore()
    {
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &old_), 0);
        signal(SIGXFSZ, oldSig_);
    }

private:
    struct rlimit old_;
    void (*oldSig_)(int);
};

// A write that stops part way leaves the file cut at its last whole block;
// the failure is reported once, later packets are counted as missed, and
// once the file can grow again the next packet after the retry time
// starts a new section at its end.
TEST(PcapWriter, FailedWriteLeavesWholeBlocksAndIsTriedAgain)
{
    TempDir d;
    std::string cap = d.at("c");
    FileSizeLimit limit(3000);
    PcapWriter w = {};
    ASSERT_TRUE(pcapOpen(&w, settings(cap), 0));
    for (int i = 0; i < 40; i++) {
        pcapWrite(&w, packet(1, 97), 0);
        if (i % 7 == 0)
            pcapFlush(&w);
    }
    Bytes f = readFile(cap);
    EXPECT_LE(f.size(), 3000u);
    EXPECT_GT(f.size(), 2000u);
    auto blocks = readBlocks(f);
    size_t sum = 0, kept = 0;
    for (const Block &b : blocks) {
        sum += b.body.size() + 12;
        kept += b.type == kBlockEpb;
    }
    EXPECT_EQ(sum, f.size());

    limit.restore();  // room again
    pcapWrite(&w, packet(1, 5), kPcapRetryNs - 1);  // not yet
    pcapWrite(&w, packet(2, 5), kPcapRetryNs);
    EXPECT_FALSE(pcapClose(&w));
    EXPECT_EQ(noticeTexts(&w), "cannot write capture file " + cap + ": File too large\n"
                               "capture file " + cap + ": writing again; " +
                                   std::to_string(40 - kept + 1) + " records were not captured\n");
    auto after = readBlocks(readFile(cap));
    ASSERT_EQ(after.size(), blocks.size() + 4);
    EXPECT_EQ(after[blocks.size()].type, kBlockShb);
    EXPECT_EQ(after[blocks.size() + 1].type, kBlockIdb);
    EXPECT_EQ(after[blocks.size() + 2].type, kBlockEpb);
    EXPECT_EQ(after[blocks.size() + 3].type, kBlockIsb);
}

}  // namespace
