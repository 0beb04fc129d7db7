// pcapng blocks and the capture writer.
#include "pcapng.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "write_out.h"

// ---------------------------------------------------------------------------
// Link types

int parseLinkType(const char *s, uint16_t *out)
{
    for (const LinkTypeName &n : kLinkTypeNames) {
        if (strcmp(s, n.name) == 0) {
            *out = n.type;
            return 1;
        }
    }
    if (!*s || strlen(s) > 5)
        return 0;
    unsigned v = 0;
    for (const char *p = s; *p; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        v = v * 10 + (unsigned)(*p - '0');
    }
    if (v > 65535)
        return 0;
    *out = (uint16_t)v;
    return 1;
}

void linkTypeNames(char *out, size_t size)
{
    size_t at = 0;
    out[0] = 0;
    for (const LinkTypeName &n : kLinkTypeNames) {
        int k = snprintf(out + at, size - at, "%s%s", at ? ", " : "", n.name);
        if (k < 0 || (size_t)k >= size - at)
            return;
        at += (size_t)k;
    }
}

// ---------------------------------------------------------------------------
// Blocks, little-endian

namespace {

struct Out {
    uint8_t *p;
    size_t n;
};

// Without a buffer (p null) the encoders only count: that gives a block's
// length from the same code that writes it.
void put16(Out *o, uint16_t v)
{
    if (o->p) {
        o->p[o->n] = (uint8_t)v;
        o->p[o->n + 1] = (uint8_t)(v >> 8);
    }
    o->n += 2;
}

void put32(Out *o, uint32_t v)
{
    put16(o, (uint16_t)v);
    put16(o, (uint16_t)(v >> 16));
}

void put64(Out *o, uint64_t v)
{
    put32(o, (uint32_t)v);
    put32(o, (uint32_t)(v >> 32));
}

size_t padded(size_t n)
{
    return (n + 3) & ~(size_t)3;
}

// Bytes followed by zeros up to the next multiple of 4.
void putPadded(Out *o, const void *p, size_t len)
{
    if (o->p && len)
        memcpy(o->p + o->n, p, len);
    if (o->p)
        memset(o->p + o->n + len, 0, padded(len) - len);
    o->n += padded(len);
}

void putOption(Out *o, uint16_t code, const void *value, size_t len)
{
    put16(o, code);
    put16(o, (uint16_t)len);
    putPadded(o, value, len);
}

size_t textLen(const char *s)
{
    return strnlen(s, kMaxOptText);
}

void putText(Out *o, uint16_t code, const char *s)
{
    putOption(o, code, s, textLen(s));
}

void putOption32(Out *o, uint16_t code, uint32_t v)
{
    put16(o, code);
    put16(o, 4);
    put32(o, v);
}

void putOption64(Out *o, uint16_t code, uint64_t v)
{
    put16(o, code);
    put16(o, 8);
    put64(o, v);
}

// Type and a length to be filled in by endBlock.
void beginBlock(Out *o, uint32_t type)
{
    o->n = 0;
    put32(o, type);
    put32(o, 0);
}

// The end of options, then the total length at both ends of the block.
size_t endBlock(Out *o)
{
    put16(o, kOptEndOfOpt);
    put16(o, 0);
    size_t total = o->n + 4;
    put32(o, (uint32_t)total);
    Out head = {o->p, 4};
    put32(&head, (uint32_t)total);
    return total;
}

// A time stamp option: the high 32 bits first, as in the packet blocks.
void putStamp(Out *o, uint16_t code, uint64_t v)
{
    put16(o, code);
    put16(o, 8);
    put32(o, (uint32_t)(v >> 32));
    put32(o, (uint32_t)v);
}

}  // namespace

size_t encodeShb(uint8_t *out, const char *userAppl)
{
    Out o = {out, 0};
    beginBlock(&o, kBlockShb);
    put32(&o, kByteOrderMagic);
    put16(&o, 1);  // major version
    put16(&o, 0);  // minor version
    put64(&o, UINT64_MAX);  // section length not given
    putText(&o, kOptShbUserAppl, userAppl);
    return endBlock(&o);
}

size_t encodeIdb(uint8_t *out, uint16_t linkType, const char *name, const char *descr)
{
    Out o = {out, 0};
    beginBlock(&o, kBlockIdb);
    put16(&o, linkType);
    put16(&o, 0);  // reserved
    put32(&o, kSnapLen);
    putText(&o, kOptIfName, name);
    putText(&o, kOptIfDescription, descr);
    putOption(&o, kOptIfTsresol, &kTsresolMs, 1);
    return endBlock(&o);
}


size_t encodeEpb(uint8_t *out, uint32_t ifId, const PcapPacket &pkt)
{
    Out o = {out, 0};
    beginBlock(&o, kBlockEpb);
    put32(&o, ifId);
    put32(&o, (uint32_t)(pkt.stamp >> 32));
    put32(&o, (uint32_t)pkt.stamp);
    put32(&o, pkt.capLen);
    put32(&o, pkt.origLen);
    putPadded(&o, pkt.data, pkt.capLen);
    putOption32(&o, kOptEpbFlags, pkt.flags);
    if (pkt.drops)
        putOption64(&o, kOptEpbDropCount, pkt.drops);
    if (pkt.comment) {
        char text[kMaxEpbComment + 1];
        snprintf(text, sizeof text, "%s", pkt.comment);
        putText(&o, kOptComment, text);
    }
    return endBlock(&o);
}

size_t encodeIsb(uint8_t *out, uint32_t ifId, const PcapIfStats &st)
{
    Out o = {out, 0};
    beginBlock(&o, kBlockIsb);
    put32(&o, ifId);
    put32(&o, (uint32_t)(st.lastStamp >> 32));  // taken at the last packet
    put32(&o, (uint32_t)st.lastStamp);
    putStamp(&o, kOptIsbStartTime, st.firstStamp);
    putStamp(&o, kOptIsbEndTime, st.lastStamp);
    putOption64(&o, kOptIsbIfDrop, st.drops);
    return endBlock(&o);
}

// ---------------------------------------------------------------------------
// Rotated file names

int splitRotationName(const char *path, RotationName *rn)
{
    const char *slash = strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    const char *dot = strrchr(base, '.');
    if (!*base || dot == base)
        dot = nullptr;
    size_t stemLen = dot ? (size_t)(dot - path) : strlen(path);
    size_t extLen = dot ? strlen(dot) : 0;
    if (!*base || stemLen >= sizeof rn->stem || extLen >= sizeof rn->ext)
        return 0;
    memcpy(rn->stem, path, stemLen);
    rn->stem[stemLen] = 0;
    memcpy(rn->ext, dot ? dot : "", extLen + 1);
    return 1;
}

int rotationPath(const RotationName &rn, uint64_t n, char *out, size_t size)
{
    int k = snprintf(out, size, "%s-%05llu%s", rn.stem, (unsigned long long)n, rn.ext);
    return k > 0 && (size_t)k < size;
}

// n when name is base + "-" + digits + ext, else 0.
static uint64_t rotationNumber(const char *name, const char *base, const char *ext)
{
    size_t bl = strlen(base);
    if (strncmp(name, base, bl) != 0 || name[bl] != '-')
        return 0;
    const char *d = name + bl + 1;
    uint64_t n = 0;
    int digits = 0;
    for (; *d >= '0' && *d <= '9'; d++, digits++) {
        if (digits == 18)
            return 0;
        n = n * 10 + (uint64_t)(*d - '0');
    }
    return digits && strcmp(d, ext) == 0 ? n : 0;
}

uint64_t highestRotation(const RotationName &rn)
{
    char dir[sizeof rn.stem];
    const char *slash = strrchr(rn.stem, '/');
    const char *base = slash ? slash + 1 : rn.stem;
    if (!slash)
        snprintf(dir, sizeof dir, ".");
    else if (slash == rn.stem)
        snprintf(dir, sizeof dir, "/");
    else
        snprintf(dir, sizeof dir, "%.*s", (int)(slash - rn.stem), rn.stem);
    DIR *d = opendir(dir);
    if (!d)
        return 0;
    uint64_t high = 0;
    while (struct dirent *e = readdir(d)) {
        uint64_t n = rotationNumber(e->d_name, base, rn.ext);
        if (n > high)
            high = n;
    }
    closedir(d);
    return high;
}

// ---------------------------------------------------------------------------
// The writer

// Never through a symbolic link; past 2 GiB in the 32-bit build too; a
// FIFO without a reader fails rather than waits.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_LARGEFILE | O_NONBLOCK;

// When a capture that went down is tried again: the next rotation point
// with rotation by time, else a fixed time from now.
static uint64_t retryAt(const PcapWriter *w, uint64_t nowNs)
{
    if (!w->set.rotateNs)
        return nowNs + kPcapRetryNs;
    uint64_t periods = (nowNs - w->openedNs) / w->set.rotateNs + 1;
    return w->openedNs + periods * w->set.rotateNs;
}

// Queues a notice for the caller about path (the current file when null).
static void notice(PcapWriter *w, PcapNoticeKind kind, const char *op, int err, const char *why,
                   uint64_t count, const char *path = nullptr)
{
    if (w->noticeCount == kPcapNotices) {
        w->noticesLost++;
        return;
    }
    PcapNotice *n = &w->notices[w->noticeCount++];
    n->kind = kind;
    n->op = op;
    n->err = err;
    n->why = why;
    n->count = count;
    snprintf(n->path, sizeof n->path, "%s", path ? path : w->path);
}

int pcapNextNotice(PcapWriter *w, PcapNotice *n)
{
    if (!w->noticeCount)
        return 0;
    *n = w->notices[0];
    w->noticeCount--;
    memmove(&w->notices[0], &w->notices[1], w->noticeCount * sizeof w->notices[0]);
    return 1;
}

void pcapNoticeText(const PcapNotice &n, char *out, size_t size)
{
    const char *why = n.why ? n.why : strerror(n.err);
    unsigned long long count = n.count;
    switch (n.kind) {
    case kPcapDown:
        snprintf(out, size, "cannot %s capture file %s: %s", n.op, n.path, why);
        break;
    case kPcapRemoveFailed:
        snprintf(out, size, "cannot remove capture file %s: %s", n.path, why);
        break;
    case kPcapWritingAgain:
        snprintf(out, size, "capture file %s: writing again; %llu records were not captured",
                 n.path, count);
        break;
    case kPcapNotCaptured:
        snprintf(out, size, "capture file %s: %llu records were not captured", n.path, count);
        break;
    }
}

// The first failure of an episode gives a notice; the capture is down
// from then on until a retry writes again.
static void failText(PcapWriter *w, const char *what, const char *why, int err = 0)
{
    if (!w->down && !w->recovering)
        notice(w, kPcapDown, what, err, why, 0);
    w->failed = w->down = 1;
    w->recovering = 0;
    w->retryNs = retryAt(w, w->lastNs);
}

static void fail(PcapWriter *w, const char *what, int err)
{
    failText(w, what, nullptr, err);
}

// Creates the next rotated file, never one that exists, and removes the
// oldest of this run beyond the number kept.
static int openRotated(PcapWriter *w)
{
    int err = ENAMETOOLONG;
    for (int tries = 0; tries < 1000; tries++, w->fileNo++) {
        if (!rotationPath(w->rn, w->fileNo, w->path, sizeof w->path))
            break;
        w->fd = open(w->path, kCreateFlags | O_EXCL, 0644);
        err = errno;
        if (w->fd >= 0 || err != EEXIST)
            break;
    }
    if (w->fd < 0) {
        fail(w, "create", err);
        return 0;
    }
    w->regular = 1;
    unsigned keep = w->set.keepFiles;
    if (!keep)
        return 1;
    uint64_t *slot = &w->kept[w->keptCount % keep];
    char old[sizeof w->path];
    if (w->keptCount >= keep && rotationPath(w->rn, *slot, old, sizeof old) &&
        unlink(old) != 0 && errno != ENOENT)
        notice(w, kPcapRemoveFailed, "remove", errno, nullptr, 0, old);
    *slot = w->fileNo;
    w->keptCount++;
    return 1;
}

// Opens FILE itself: a regular file is emptied, anything else (a FIFO, a
// device) is written as it is; a symbolic link is not followed, and a file
// with further hard links is left alone.
static int openSingle(PcapWriter *w)
{
    snprintf(w->path, sizeof w->path, "%s", w->set.path);
    w->fd = open(w->path, kCreateFlags, 0644);
    if (w->fd < 0) {
        int err = errno;
        if (err == ELOOP)
            failText(w, "create", "it is a symbolic link");
        else if (err == ENXIO)
            failText(w, "create", "no reader");
        else
            fail(w, "create", err);
        return 0;
    }
    struct stat st;
    int err = 0;
    if (fstat(w->fd, &st) != 0)
        err = errno;
    else if (S_ISREG(st.st_mode) && st.st_nlink > 1)
        err = EMLINK;
    else if (S_ISREG(st.st_mode) && ftruncate(w->fd, 0) != 0)
        err = errno;
    if (err) {
        fail(w, "replace", err);
        close(w->fd);
        w->fd = -1;
        return 0;
    }
    w->regular = S_ISREG(st.st_mode);
    return 1;
}

static int isStdout(const PcapWriter *w)
{
    return strcmp(w->set.path, "-") == 0;
}

// Starts a section where the file stands: the section header first, and
// every interface described afresh.
static void beginSection(PcapWriter *w, uint64_t nowNs)
{
    w->packets = w->bufPackets = 0;
    w->openedNs = nowNs;
    memset(w->ifIds, 0, 65536 * sizeof *w->ifIds);
    memset(w->ifStats, 0, 65536 * sizeof *w->ifStats);
    w->ifCount = 0;
    w->used = encodeShb(w->buf, w->set.userAppl);
}

// Starts a section in the file just opened.
static void beginFile(PcapWriter *w, uint64_t nowNs)
{
    w->written = 0;
    beginSection(w, nowNs);
}

int pcapOpen(PcapWriter *w, const PcapSettings &set, uint64_t nowNs)
{
    const WaitPolicy *wait = w->wait;
    memset(w, 0, sizeof *w);
    w->wait = wait;
    w->set = set;
    w->fd = -1;
    w->openedNs = w->lastNs = nowNs;
    w->rotating = set.rotateBytes || set.rotateNs;
    w->buf = (uint8_t *)malloc(kPcapBufLen);
    w->ifIds = (uint32_t *)calloc(65536, sizeof *w->ifIds);
    w->ifStats = (PcapIfStats *)calloc(65536, sizeof *w->ifStats);
    w->kept = (uint64_t *)calloc(set.keepFiles ? set.keepFiles : 1, sizeof *w->kept);
    snprintf(w->path, sizeof w->path, "%s", isStdout(w) ? "standard output" : set.path);
    if (!w->buf || !w->ifIds || !w->ifStats || !w->kept) {
        fail(w, "start", ENOMEM);
        pcapClose(w);  // nothing to try again with
        return 0;
    }
    if (isStdout(w)) {
        struct stat st;
        w->fd = STDOUT_FILENO;
        w->regular = fstat(w->fd, &st) == 0 && S_ISREG(st.st_mode);
    } else if (w->rotating) {
        if (!splitRotationName(set.path, &w->rn)) {
            size_t n = strlen(set.path);
            fail(w, "create", n && set.path[n - 1] == '/' ? EISDIR : ENAMETOOLONG);
            pcapClose(w);  // no name to try again with
            return 0;
        }
        w->fileNo = highestRotation(w->rn) + 1;
        if (!openRotated(w))
            return 0;
    } else if (!openSingle(w)) {
        return 0;
    }
    beginFile(w, nowNs);
    pcapFlush(w);
    return !w->failed;
}

static void closeFile(PcapWriter *w)
{
    if (w->fd < 0)
        return;
    if (w->fd != STDOUT_FILENO && close(w->fd) != 0 && !w->failed)
        fail(w, "write", errno);
    w->fd = -1;
}

// The length of the whole blocks at the start of the n bytes of buf, and
// how many of them are packets.
static size_t wholeBlocks(const uint8_t *buf, size_t n, uint64_t *epbs)
{
    size_t at = 0;
    *epbs = 0;
    while (n - at >= 8) {
        const uint8_t *p = buf + at;
        size_t len = (size_t)p[4] | (size_t)p[5] << 8 | (size_t)p[6] << 16 | (size_t)p[7] << 24;
        if (len > n - at)
            break;
        *epbs += p[0] == kBlockEpb && !p[1] && !p[2] && !p[3];
        at += len;
    }
    return at;
}

// A write failed after at bytes of the buffer went out: the block it cut
// is taken off a regular file again, which stays open for a retry at its
// end; a FIFO or device is closed, to be opened again.
static void writeFailed(PcapWriter *w, size_t at, WriteResult r, int err)
{
    uint64_t epbs;
    uint64_t whole = w->written + wholeBlocks(w->buf, at, &epbs);
    w->missed += w->bufPackets - epbs;
    if (w->regular && (ftruncate(w->fd, (off_t)whole) != 0 || lseek(w->fd, (off_t)whole, SEEK_SET) < 0)) {
        // a file that cannot be cut keeps what reached it
    }
    uint64_t kept = w->regular ? whole : w->written + at;
    w->bytesOut += kept - w->written;
    w->written = kept;
    if (r == kWriteGivenUp)
        failText(w, "write", "its reader takes nothing");
    else
        fail(w, "write", err);
    if (!w->regular)
        closeFile(w);
}

void pcapFlush(PcapWriter *w)
{
    if (w->fd < 0 || !w->used)
        return;
    size_t at = 0;
    WriteResult r = writeOut(w->fd, w->buf, w->used, &at, w->wait);
    if (r != kWriteDone) {
        writeFailed(w, at, r, errno);
    } else {
        w->written += at;
        w->bytesOut += at;
        if (w->recovering) {
            notice(w, kPcapWritingAgain, nullptr, 0, nullptr, w->missed);
            w->recovering = 0;
            w->missed = 0;
        }
    }
    w->used = 0;
    w->bufPackets = 0;
}

// Room for n more bytes in the buffer; 0 when the capture is down.
static int reserve(PcapWriter *w, size_t n)
{
    if (w->used + n > kPcapBufLen)
        pcapFlush(w);
    return !w->down;
}

// The statistics blocks that end the file: one per interface, all alike
// in length.
static uint64_t isbBytes(uint32_t interfaces)
{
    return (uint64_t)interfaces * encodeIsb(nullptr, 0, PcapIfStats{});
}

// Ends a regular file with a statistics block per interface of its
// section. A stream (standard output, a FIFO, a device) gets none: its
// reader may have gone by the end, which is no failure of the capture.
static void endFile(PcapWriter *w)
{
    if (w->fd < 0 || w->down || !w->regular)
        return;
    for (uint32_t id = 0; id < w->ifCount; id++) {
        if (!reserve(w, kMaxBlockLen))
            return;
        w->used += encodeIsb(w->buf + w->used, id, w->ifStats[id]);
    }
}

static int rotationDue(const PcapWriter *w, size_t need, uint64_t nowNs)
{
    if (!w->rotating || !w->packets)
        return 0;
    if (w->set.rotateNs && nowNs - w->openedNs >= w->set.rotateNs)
        return 1;
    return w->set.rotateBytes && w->written + w->used + need > w->set.rotateBytes;
}

static void nextFile(PcapWriter *w, uint64_t nowNs)
{
    endFile(w);
    pcapFlush(w);
    if (w->down)
        return;
    closeFile(w);
    w->fileNo++;
    w->filesRotated++;
    if (openRotated(w))
        beginFile(w, nowNs);
}

// Opens the capture again after a failure: a new file with rotation when
// the failed one holds blocks, else a new section where it stands.
static void retry(PcapWriter *w, uint64_t nowNs)
{
    w->down = 0;
    w->recovering = 1;
    if (isStdout(w))
        w->fd = STDOUT_FILENO;
    if (w->fd >= 0 && !(w->rotating && w->written)) {
        beginSection(w, nowNs);
        return;
    }
    if (w->fd >= 0) {
        closeFile(w);
        w->fileNo++;
    }
    if (w->rotating ? openRotated(w) : openSingle(w))
        beginFile(w, nowNs);
}

// 1 when the capture takes packets at nowNs, trying again when due.
static int capturing(PcapWriter *w, uint64_t nowNs)
{
    if (w->down && nowNs >= w->retryNs)
        retry(w, nowNs);
    return !w->down;
}

static void addInterface(PcapWriter *w, const PcapPacket &pkt)
{
    if (!reserve(w, kMaxBlockLen))
        return;
    w->used += encodeIdb(w->buf + w->used, w->set.linkType, pkt.ifName, pkt.ifDescr);
    w->ifStats[w->ifCount] = {pkt.stamp, pkt.stamp, 0};
    w->ifIds[pkt.iface] = ++w->ifCount;
}

void pcapWrite(PcapWriter *w, const PcapPacket &pkt, uint64_t nowNs)
{
    if (!w->buf || pkt.iface > 65535 || pkt.capLen > kMaxPacket)
        return;
    w->lastNs = nowNs;
    if (!capturing(w, nowNs)) {
        w->missed++;
        return;
    }
    // The packet, its interface when new, and the statistics blocks that
    // will end the file.
    size_t need = encodeEpb(nullptr, 0, pkt);
    uint32_t interfaces = w->ifCount;
    if (!w->ifIds[pkt.iface]) {
        need += encodeIdb(nullptr, w->set.linkType, pkt.ifName, pkt.ifDescr);
        interfaces++;
    }
    need += isbBytes(interfaces);
    if (rotationDue(w, need, nowNs))
        nextFile(w, nowNs);
    if (!w->down && !w->ifIds[pkt.iface])
        addInterface(w, pkt);
    if (!reserve(w, kMaxBlockLen)) {
        w->missed++;
        return;
    }
    uint32_t id = w->ifIds[pkt.iface] - 1;
    w->used += encodeEpb(w->buf + w->used, id, pkt);
    PcapIfStats *st = &w->ifStats[id];
    st->lastStamp = pkt.stamp;
    st->drops += pkt.drops;
    w->packets++;
    w->bufPackets++;
}

// 1 when path still names the file open on fd.
static int sameFile(const char *path, int fd)
{
    struct stat a, b;
    return lstat(path, &a) == 0 && fstat(fd, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

PcapReopen pcapReopen(PcapWriter *w, uint64_t nowNs)
{
    if (!w->buf)
        return kReopenRetried;
    w->lastNs = nowNs;
    if (w->down) {
        w->retryNs = nowNs;
        capturing(w, nowNs);
        return kReopenRetried;
    }
    if (isStdout(w))
        return kReopenStdout;
    if (w->rotating) {
        nextFile(w, nowNs);
        return kReopenNew;
    }
    if (w->fd >= 0 && sameFile(w->path, w->fd))
        return kReopenSame;
    endFile(w);
    pcapFlush(w);
    closeFile(w);
    w->filesRotated += !w->down;
    if (!w->down && openSingle(w))
        beginFile(w, nowNs);
    return kReopenNew;
}

int pcapClose(PcapWriter *w)
{
    endFile(w);
    pcapFlush(w);
    if (w->missed)
        notice(w, kPcapNotCaptured, nullptr, 0, nullptr, w->missed);
    closeFile(w);
    free(w->buf);
    free(w->ifIds);
    free(w->ifStats);
    free(w->kept);
    w->buf = nullptr;
    w->ifIds = nullptr;
    w->ifStats = nullptr;
    w->kept = nullptr;
    return !w->failed;
}
