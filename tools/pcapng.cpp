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

void put16(Out *o, uint16_t v)
{
    o->p[o->n++] = (uint8_t)v;
    o->p[o->n++] = (uint8_t)(v >> 8);
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
    if (len)
        memcpy(o->p + o->n, p, len);
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

static size_t idbLen(const char *name, const char *descr)
{
    return 16 + 4 + padded(textLen(name)) + 4 + padded(textLen(descr)) + 8 + 4 + 4;
}

size_t epbLen(const PcapPacket &pkt)
{
    return 28 + padded(pkt.capLen) + 8 + (pkt.drops ? 12 : 0) + 4 + 4;
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

// Never through a symbolic link; past 2 GiB in the 32-bit build too.
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_LARGEFILE;

static void reportFailure(PcapWriter *w, const char *what, int err)
{
    fprintf(stderr, "cvfcollect: cannot %s capture file %s: %s%s\n", what, w->path,
            strerror(err), w->failNote ? w->failNote : "");
    w->failed = 1;
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
        reportFailure(w, "create", err);
        return 0;
    }
    unsigned keep = w->set.keepFiles;
    if (!keep)
        return 1;
    uint64_t *slot = &w->kept[w->keptCount % keep];
    char old[sizeof w->path];
    if (w->keptCount >= keep && rotationPath(w->rn, *slot, old, sizeof old) &&
        unlink(old) != 0 && errno != ENOENT)
        fprintf(stderr, "cvfcollect: cannot remove capture file %s: %s\n", old, strerror(errno));
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
        if (errno == ELOOP)
            fprintf(stderr, "cvfcollect: cannot create capture file %s: it is a symbolic link%s\n",
                    w->path, w->failNote ? w->failNote : "");
        else
            reportFailure(w, "create", errno);
        w->failed = 1;
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
        reportFailure(w, "replace", err);
        close(w->fd);
        w->fd = -1;
        return 0;
    }
    return 1;
}

static int isStdout(const PcapWriter *w)
{
    return strcmp(w->set.path, "-") == 0;
}

// Starts a section in the file just opened.
static void beginFile(PcapWriter *w, uint64_t nowNs)
{
    w->written = w->packets = 0;
    w->openedNs = nowNs;
    memset(w->ifIds, 0, 65536 * sizeof *w->ifIds);
    w->ifCount = 0;
    w->used = encodeShb(w->buf, w->set.userAppl);
}

int pcapOpen(PcapWriter *w, const PcapSettings &set, uint64_t nowNs)
{
    const char *note = w->failNote;
    memset(w, 0, sizeof *w);
    w->failNote = note;
    w->set = set;
    w->fd = -1;
    w->rotating = set.rotateBytes || set.rotateNs;
    w->buf = (uint8_t *)malloc(kPcapBufLen);
    w->ifIds = (uint32_t *)calloc(65536, sizeof *w->ifIds);
    w->kept = (uint64_t *)calloc(set.keepFiles ? set.keepFiles : 1, sizeof *w->kept);
    snprintf(w->path, sizeof w->path, "%s", isStdout(w) ? "standard output" : set.path);
    if (!w->buf || !w->ifIds || !w->kept) {
        reportFailure(w, "start", ENOMEM);
        return 0;
    }
    if (isStdout(w)) {
        w->fd = STDOUT_FILENO;
    } else if (w->rotating) {
        if (!splitRotationName(set.path, &w->rn)) {
            size_t n = strlen(set.path);
            reportFailure(w, "create", n && set.path[n - 1] == '/' ? EISDIR : ENAMETOOLONG);
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
        reportFailure(w, "write", errno);
    w->fd = -1;
}

// The length of the whole blocks at the start of the n bytes of buf.
static size_t wholeBlocks(const uint8_t *buf, size_t n)
{
    size_t at = 0;
    while (n - at >= 8) {
        const uint8_t *p = buf + at + 4;
        size_t len = (size_t)p[0] | (size_t)p[1] << 8 | (size_t)p[2] << 16 | (size_t)p[3] << 24;
        if (len > n - at)
            break;
        at += len;
    }
    return at;
}

void pcapFlush(PcapWriter *w)
{
    size_t at = 0;
    while (at < w->used && w->fd >= 0) {
        ssize_t n = write(w->fd, w->buf + at, w->used - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0) {
            at += (size_t)n;
            continue;
        }
        int err = n < 0 ? errno : ENOSPC;
        // A half-written block is cut off, so that readers find whole blocks.
        uint64_t whole = w->written + wholeBlocks(w->buf, at);
        if (w->fd != STDOUT_FILENO && ftruncate64(w->fd, (off64_t)whole) != 0) {
            // a device or FIFO cannot be cut and keeps what reached it
        }
        reportFailure(w, "write", err);
        closeFile(w);
    }
    w->written += at;
    w->used = 0;
}

// Room for n more bytes in the buffer; 0 when the file has failed.
static int reserve(PcapWriter *w, size_t n)
{
    if (w->used + n > kPcapBufLen)
        pcapFlush(w);
    return w->fd >= 0;
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
    pcapFlush(w);
    closeFile(w);
    if (w->failed)
        return;
    w->fileNo++;
    if (openRotated(w))
        beginFile(w, nowNs);
}

static void addInterface(PcapWriter *w, const PcapPacket &pkt)
{
    if (!reserve(w, kMaxBlockLen))
        return;
    w->used += encodeIdb(w->buf + w->used, w->set.linkType, pkt.ifName, pkt.ifDescr);
    w->ifIds[pkt.iface] = ++w->ifCount;
}

void pcapWrite(PcapWriter *w, const PcapPacket &pkt, uint64_t nowNs)
{
    if (w->fd < 0 || pkt.iface > 65535 || pkt.capLen > kMaxPacket)
        return;
    size_t need = epbLen(pkt);
    if (!w->ifIds[pkt.iface])
        need += idbLen(pkt.ifName, pkt.ifDescr);
    if (rotationDue(w, need, nowNs))
        nextFile(w, nowNs);
    if (!w->ifIds[pkt.iface])
        addInterface(w, pkt);
    if (!reserve(w, kMaxBlockLen))
        return;
    w->used += encodeEpb(w->buf + w->used, w->ifIds[pkt.iface] - 1, pkt);
    w->packets++;
}

int pcapClose(PcapWriter *w)
{
    pcapFlush(w);
    closeFile(w);
    free(w->buf);
    free(w->ifIds);
    free(w->kept);
    w->buf = nullptr;
    w->ifIds = nullptr;
    w->kept = nullptr;
    return !w->failed;
}
