// pcapng capture files: the blocks (little-endian, with the byte-order
// magic in the section header) and a writer that opens, fills, rotates and
// closes them.
//
// A file is one section: a Section Header Block, then an Interface
// Description Block for each interface before its first packet, then one
// Enhanced Packet Block per packet. Interface ids count per section, so
// every new file describes its interfaces afresh. When a regular file is
// closed (rotation, a new file, the end),
// an Interface Statistics Block for each of its interfaces ends it: the
// first and last packet times of that interface in the file, and the
// frames lost on it meanwhile (the sum of its packets' drop counts) as
// isb_ifdrop. isb_ifrecv and isb_osdrop are left out: a reader counts the
// packets itself, and what the capture could not write is no loss of one
// interface (it is reported when the file closes).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t kBlockShb = 0x0A0D0D0A;
constexpr uint32_t kBlockIdb = 1;
constexpr uint32_t kBlockEpb = 6;
constexpr uint32_t kBlockIsb = 5;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr uint16_t kOptEndOfOpt = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kOptShbUserAppl = 4;
constexpr uint16_t kOptIfName = 2;
constexpr uint16_t kOptIfDescription = 3;
constexpr uint16_t kOptIfTsresol = 9;
constexpr uint16_t kOptEpbFlags = 2;
constexpr uint16_t kOptEpbDropCount = 4;
constexpr uint16_t kOptIsbStartTime = 2;
constexpr uint16_t kOptIsbEndTime = 3;
constexpr uint16_t kOptIsbIfDrop = 5;

constexpr uint32_t kEpbInbound = 1;   // epb_flags bits 0-1: direction
constexpr uint32_t kEpbOutbound = 2;
constexpr uint8_t kTsresolMs = 3;     // if_tsresol: 10^-3 s
constexpr uint32_t kSnapLen = 65535;  // a frameLen never exceeds it

constexpr size_t kMaxOptText = 200;   // longer option texts are cut
constexpr size_t kMaxPacket = 65535;
// The largest block: an EPB of kMaxPacket bytes with flags, drop count and
// a comment of kMaxEpbComment bytes.
constexpr size_t kMaxEpbComment = 48;
constexpr size_t kMaxBlockLen = 28 + ((kMaxPacket + 3) & ~(size_t)3) + 8 + 12 + (4 + kMaxEpbComment) + 4 + 4;
static_assert(kMaxBlockLen >= 28 + 3 * (4 + kMaxOptText + 3) + 12 + 4, "room for an IDB or SHB");

// Link types by name, for the command line.
struct LinkTypeName {
    const char *name;
    uint16_t type;
};
constexpr LinkTypeName kLinkTypeNames[] = {
    {"mtp2", 140}, {"lapd", 203}, {"frelay", 107}, {"chdlc", 104}, {"ppp-hdlc", 50},
};
constexpr uint16_t kDefaultLinkType = 140;

// A name of the table or a decimal number 0..65535; 0 when it is neither.
int parseLinkType(const char *s, uint16_t *out);
// "mtp2, lapd, ..." for messages.
void linkTypeNames(char *out, size_t size);

// One packet as the writer takes it.
struct PcapPacket {
    unsigned iface;          // the caller's key of its interface, 0..65535
    const char *ifName;      // if_name and if_description, used when the
    const char *ifDescr;     //   interface first appears in a file
    uint64_t stamp;          // in units of if_tsresol (milliseconds)
    uint32_t flags;          // epb_flags
    uint64_t drops;          // epb_dropcount, left out when 0
    const uint8_t *data;
    uint32_t capLen;         // at most kMaxPacket
    uint32_t origLen;
    const char *comment;     // opt_comment, left out when null; cut at kMaxEpbComment bytes
};

// What an interface saw in one file, for its statistics block.
struct PcapIfStats {
    uint64_t firstStamp;     // of its first and last packet, in if_tsresol units
    uint64_t lastStamp;
    uint64_t drops;          // sum of its packets' drop counts
};

// Block encoders. Each writes one whole block into out (kMaxBlockLen bytes
// of room always suffice) and returns its length, a multiple of 4. With
// out null they write nothing and return the length alone.
size_t encodeShb(uint8_t *out, const char *userAppl);
size_t encodeIdb(uint8_t *out, uint16_t linkType, const char *name, const char *descr);
size_t encodeEpb(uint8_t *out, uint32_t ifId, const PcapPacket &pkt);
size_t encodeIsb(uint8_t *out, uint32_t ifId, const PcapIfStats &st);

// Names of rotated files: "dir/capture.pcapng" splits into the stem
// "dir/capture" and the extension ".pcapng" (empty when the last path
// element has no dot past its first character); file n is
// stem + "-" + n in at least five digits + extension.
struct RotationName {
    char stem[4096];
    char ext[256];
};
// 0 when path is too long to name its rotated files.
int splitRotationName(const char *path, RotationName *rn);
// 0 when the name does not fit.
int rotationPath(const RotationName &rn, uint64_t n, char *out, size_t size);
// The highest n of the files named like rn in its directory; 0 for none.
uint64_t highestRotation(const RotationName &rn);

struct PcapSettings {
    const char *path;        // "-" for standard output
    const char *userAppl;    // shb_userappl
    uint16_t linkType;
    uint64_t rotateBytes;    // start a new file before one would exceed this; 0 never
    uint64_t rotateNs;       // start a new file at a packet this long after the current one opened; 0 never
    unsigned keepFiles;      // with rotation, remove the oldest of this run beyond this many; 0 keep all
};

constexpr size_t kPcapBufLen = 256 * 1024;  // blocks gathered between writes
static_assert(kPcapBufLen >= 2 * kMaxBlockLen);
// After a failure without rotation by time, the capture is tried again at
// the first packet this long after it.
constexpr uint64_t kPcapRetryNs = 5000000000u;

struct WaitPolicy;

// What the writer has to tell its caller; it prints nothing itself.
enum PcapNoticeKind {
    kPcapDown,          // "cannot <op> capture file <path>: <why>": the capture is down
    kPcapRemoveFailed,  // "cannot remove capture file <path>: <why>": an old rotated file stays
    kPcapWritingAgain,  // "capture file <path>: writing again; <count> records were not captured"
    kPcapNotCaptured,   // "capture file <path>: <count> records were not captured", at the close
};

struct PcapNotice {
    PcapNoticeKind kind;
    const char *op;     // kPcapDown: "start", "create", "replace" or "write"
    int err;            // errno of the failure; 0 when why tells it
    const char *why;    // the writer's own reason ("no reader", ...), or null
    uint64_t count;     // records not captured
    char path[4352];
};

constexpr unsigned kPcapNotices = 8;  // notices held until the caller reads them

// The writer. Files hold whole blocks only: a block is gathered whole in
// the buffer, and after a failed write the file is cut back to the blocks
// written before. A failure gives one notice (kPcapDown, see
// pcapNextNotice); the capture is then down,
// its packets counted as missed, until a retry writes again: at the next
// rotation point with rotation by time, else kPcapRetryNs later. The retry
// starts a new file with rotation when the failed one holds blocks, and
// otherwise a new section at the end of the same file (a FIFO or device is
// opened again).
struct PcapWriter {
    PcapSettings set;
    const WaitPolicy *wait;  // how writes wait for a slow reader; null: plain writes
    int fd;                  // -1 when no file is open
    int regular;             // 1 when fd is a regular file
    int failed;              // 1 once a create or write failed
    int down;                // 1 from a failure until a retry opens the capture again
    int recovering;          // 1 from that retry until a write succeeds
    uint64_t retryNs;        // when down: the first packet from then on tries again
    uint64_t lastNs;         // the time of the latest packet (or of the open)
    uint64_t missed;         // packets not captured since the capture went down
    uint64_t bufPackets;     // EPBs gathered in the buffer
    PcapNotice notices[kPcapNotices];  // not yet read, oldest first
    unsigned noticeCount;
    uint64_t noticesLost;    // notices that found the queue full
    int rotating;            // 1 with rotateBytes or rotateNs
    RotationName rn;
    uint64_t fileNo;         // number of the current rotated file
    uint64_t *kept;          // ring of the numbers of this run's files (keepFiles)
    unsigned keptCount;
    char path[4352];         // current file, for messages
    uint64_t written;        // bytes of the current file written; used more are gathered
    uint64_t bytesOut;       // bytes written over the run, every file (for the metrics)
    uint64_t filesRotated;   // files closed for the next one: rotation and new files asked for
    uint64_t packets;        // EPBs in the current file
    uint64_t openedNs;
    uint32_t *ifIds;         // by key: 1 + interface id in this file, 0 not yet described
    uint32_t ifCount;
    PcapIfStats *ifStats;    // by interface id in this file
    uint8_t *buf;            // kPcapBufLen bytes
    size_t used;
};

// Opens the first file (standard output, FILE, or the next rotated name)
// and writes the section header. Reports and returns 0 on failure.
int pcapOpen(PcapWriter *w, const PcapSettings &set, uint64_t nowNs);
// Adds one packet, describing its interface first when this file has not
// yet; starts the next file first when rotation says so.
void pcapWrite(PcapWriter *w, const PcapPacket &pkt, uint64_t nowNs);
// Writes out what is gathered.
void pcapFlush(PcapWriter *w);
// What pcapReopen did.
enum PcapReopen { kReopenNew, kReopenSame, kReopenRetried, kReopenStdout };
// Starts a new file at once: the next rotated one, or, for a single file
// moved away or removed, a new one under its name (kReopenSame when the
// name still leads to the open file, which goes on). A capture that is
// down is tried again.
PcapReopen pcapReopen(PcapWriter *w, uint64_t nowNs);
// Flushes and closes; returns 0 when anything failed during the run.
int pcapClose(PcapWriter *w);

// Takes the oldest notice not yet read into *n; 0 when there is none.
int pcapNextNotice(PcapWriter *w, PcapNotice *n);
// The text of a notice, without a final newline.
void pcapNoticeText(const PcapNotice &n, char *out, size_t size);
