// Summary text and JSON.
#include "summary.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "line_table.h"

static int splitTime(uint64_t secs, int utc, struct tm *tm)
{
    if (secs > (uint64_t)INT32_MAX * 64)  // far beyond any real clock
        return 0;
    time_t t = (time_t)secs;
    if ((uint64_t)t != secs)
        return 0;
    return (utc ? gmtime_r(&t, tm) : localtime_r(&t, tm)) != nullptr;
}

void formatStamp(char *out, size_t size, uint64_t secs, unsigned ms, int utc)
{
    struct tm tm;
    if (!splitTime(secs, utc, &tm)) {
        snprintf(out, size, "%llu.%03u", (unsigned long long)secs, ms);
        return;
    }
    snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03u%s", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms, utc ? "Z" : "");
}

void formatTimeOfDay(char *out, size_t size, uint64_t secs, unsigned ms, int utc)
{
    struct tm tm;
    if (!splitTime(secs, utc, &tm)) {
        snprintf(out, size, "%llu.%03u", (unsigned long long)secs, ms);
        return;
    }
    snprintf(out, size, "%02d:%02d:%02d.%03u", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

static double seconds(uint64_t firstNs, uint64_t lastNs)
{
    return lastNs > firstNs ? (double)(lastNs - firstNs) / 1e9 : 0.0;
}

static double perSecond(uint64_t n, double secs)
{
    return secs > 0 ? (double)n / secs : 0.0;
}

typedef unsigned long long ull;

static void printCounts(FILE *out, const LineStats &s)
{
    double secs = seconds(s.firstNs, s.lastNs);
    fprintf(out,
            "records=%llu bytes=%llu frame_bytes=%llu tx=%llu rx=%llu lost=%llu duplicates=%llu "
            "out_of_order=%llu restarts=%llu invalid=%llu",
            (ull)s.records, (ull)s.bytes, (ull)s.frameBytes, (ull)s.tx, (ull)s.rx,
            (ull)s.seq.lost, (ull)s.seq.duplicates, (ull)s.seq.outOfOrder, (ull)s.seq.restarts,
            (ull)s.invalid);
    fprintf(out, " duration=%.3f records/s=%.1f bytes/s=%.1f", secs, perSecond(s.records, secs),
            perSecond(s.bytes, secs));
}

void printSummary(FILE *out, const LineTable &t, int utc)
{
    LineStats sum = lineTableSum(t);
    const Totals &tot = t.totals;
    fprintf(out, "total: ");
    printCounts(out, sum);
    fprintf(out, " lines=%u tcp_connections=%llu sync_losses=%llu", t.count,
            (ull)tot.tcpConnections, (ull)tot.syncLosses);
    fprintf(out, " tcp_stalled=%llu tcp_evicted=%llu\n", (ull)tot.tcpStalled,
            (ull)tot.tcpEvicted);
    if (tot.nats.publishing)
        fprintf(out, "nats: published=%llu duplicates=%llu unpublished=%llu backlog=%llu resent=%llu\n",
                (ull)tot.nats.published, (ull)tot.nats.duplicates, (ull)tot.nats.unpublished,
                (ull)tot.nats.backlog, (ull)tot.nats.resent);
    if (tot.nats.reading)
        fprintf(out, "\n  \"nats_redelivered\": %llu,", (ull)tot.nats.redelivered);
    if (tot.nats.reading)
        fprintf(out, "nats: redelivered=%llu\n", (ull)tot.nats.redelivered);
    if (tot.invalid) {
        fprintf(out, "invalid:");
        for (int c = 1; c < kRecCheckCount; c++)
            if (tot.invalidBy[c])
                fprintf(out, " %s=%llu", kRecordCheckName[c], (ull)tot.invalidBy[c]);
        fprintf(out, "\n");
    }
    for (unsigned k = 0; k < kLineSlots; k++) {
        const LineStats *ls = t.slots[k];
        if (!ls)
            continue;
        char first[40], last[40];
        formatStamp(first, sizeof first, ls->firstSecs, ls->firstMs, utc);
        formatStamp(last, sizeof last, ls->lastSecs, ls->lastMs, utc);
        fprintf(out, "gw=%u line=%u ", ls->gwId, ls->lineNum);
        printCounts(out, *ls);
        fprintf(out, " first_seq=%u last_seq=%u first=%s last=%s\n", ls->firstSeq, ls->lastSeq,
                first, last);
    }
}

static void jsonCounts(FILE *out, const LineStats &s)
{
    double secs = seconds(s.firstNs, s.lastNs);
    fprintf(out,
            "\"records\": %llu, \"bytes\": %llu, \"frame_bytes\": %llu, \"tx\": %llu, "
            "\"rx\": %llu, \"lost\": %llu, \"duplicates\": %llu, \"out_of_order\": %llu, "
            "\"restarts\": %llu, \"invalid\": %llu, \"duration\": %.6f, "
            "\"records_per_sec\": %.3f, \"bytes_per_sec\": %.3f",
            (ull)s.records, (ull)s.bytes, (ull)s.frameBytes, (ull)s.tx, (ull)s.rx,
            (ull)s.seq.lost, (ull)s.seq.duplicates, (ull)s.seq.outOfOrder, (ull)s.seq.restarts,
            (ull)s.invalid, secs, perSecond(s.records, secs), perSecond(s.bytes, secs));
}

static void jsonLine(FILE *out, const LineStats &ls)
{
    char first[40], last[40];
    formatStamp(first, sizeof first, ls.firstSecs, ls.firstMs, 1);
    formatStamp(last, sizeof last, ls.lastSecs, ls.lastMs, 1);
    fprintf(out, "    {\"gw\": %u, \"line\": %u, ", ls.gwId, ls.lineNum);
    jsonCounts(out, ls);
    fprintf(out,
            ", \"first_seq\": %u, \"last_seq\": %u, \"first_stamp_secs\": %llu, "
            "\"first_stamp_ms\": %u, \"last_stamp_secs\": %llu, \"last_stamp_ms\": %u, "
            "\"first_stamp\": \"%s\", \"last_stamp\": \"%s\"}",
            ls.firstSeq, ls.lastSeq, (ull)ls.firstSecs, ls.firstMs, (ull)ls.lastSecs, ls.lastMs,
            first, last);
}

int writeJson(FILE *out, const LineTable &t)
{
    LineStats sum = lineTableSum(t);
    const Totals &tot = t.totals;
    fprintf(out, "{\n  ");
    jsonCounts(out, sum);
    fprintf(out, ",\n  \"tcp_connections\": %llu, \"sync_losses\": %llu,",
            (ull)tot.tcpConnections, (ull)tot.syncLosses);
    fprintf(out, " \"tcp_stalled\": %llu, \"tcp_evicted\": %llu,", (ull)tot.tcpStalled,
            (ull)tot.tcpEvicted);
    if (tot.nats.publishing)
        fprintf(out, "\n  \"nats_published\": %llu, \"nats_duplicates\": %llu, "
                     "\"nats_unpublished\": %llu, \"nats_backlog\": %llu, \"nats_resent\": %llu,",
                (ull)tot.nats.published, (ull)tot.nats.duplicates, (ull)tot.nats.unpublished,
                (ull)tot.nats.backlog, (ull)tot.nats.resent);
    if (tot.nats.reading)
        fprintf(out, "\n  \"nats_redelivered\": %llu,", (ull)tot.nats.redelivered);
    fprintf(out, "\n  \"invalid_by\": {");
    for (int c = 1; c < kRecCheckCount; c++)
        fprintf(out, "%s\"%s\": %llu", c > 1 ? ", " : "", kRecordCheckName[c],
                (ull)tot.invalidBy[c]);
    fprintf(out, "},\n  \"lines\": [");
    const char *sep = "\n";
    for (unsigned k = 0; k < kLineSlots; k++) {
        const LineStats *ls = t.slots[k];
        if (!ls)
            continue;
        fputs(sep, out);
        jsonLine(out, *ls);
        sep = ",\n";
    }
    fprintf(out, "%s]\n}\n", t.count ? "\n  " : "");
    return !ferror(out);
}

// Splits path into the directory part with its final slash (empty for
// none) and the name after it.
static const char *baseName(const char *path, size_t *dirLen)
{
    const char *slash = strrchr(path, '/');
    *dirLen = slash ? (size_t)(slash - path + 1) : 0;
    return path + *dirLen;
}

// A symbolic link that procfs keeps for an open descriptor (/dev/stdout
// leads to one) names an open file, which may be a pipe or a terminal,
// rather than a place in a directory.
static int isDescriptorLink(const char *link)
{
    char dir[PATH_MAX];
    size_t dirLen;
    baseName(link, &dirLen);
    snprintf(dir, sizeof dir, "%.*s", dirLen ? (int)dirLen : 1, dirLen ? link : ".");
    struct statfs fs;
    return statfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// How replaceFile goes about a path.
enum WriteHow {
    kHowReplace,  // a new file renamed over the target
    kHowInPlace,  // into the open file (a device, a FIFO, a descriptor)
    kHowFailed,   // errno tells why
    kHowRefused,  // a symbolic link of another user
};

// A link that another user could have planted is not followed: only
// those of the user the collector runs as, or of root.
static int trustedLink(const struct stat &st)
{
    return st.st_uid == geteuid() || st.st_uid == 0;
}

// Follows the symbolic links of out (size PATH_MAX) in place, to the name
// that is to be replaced; the link itself stays.
static WriteHow followLinks(char *out)
{
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(out, &st) != 0)
            return errno == ENOENT ? kHowReplace : kHowFailed;  // a new name
        if (!S_ISLNK(st.st_mode))
            return kHowReplace;
        if (!trustedLink(st))
            return kHowRefused;
        if (isDescriptorLink(out))
            return kHowInPlace;
        char to[PATH_MAX];
        ssize_t n = readlink(out, to, sizeof to - 1);
        if (n < 0)
            return kHowFailed;
        to[n] = 0;
        size_t dirLen = 0;
        if (to[0] != '/')
            baseName(out, &dirLen);  // relative to the link's directory
        if (dirLen + (size_t)n >= PATH_MAX) {
            errno = ENAMETOOLONG;
            return kHowFailed;
        }
        memcpy(out + dirLen, to, (size_t)n + 1);
    }
    errno = ELOOP;
    return kHowFailed;
}

// Runs fill and pushes what it wrote to the file; 0 with errno set when
// anything failed.
static int fillFile(FILE *f, FillFn fill, const void *ctx)
{
    errno = 0;
    int ok = fill(f, ctx);
    if (fflush(f) == 0 && ok && !ferror(f))
        return 1;
    if (!errno)
        errno = EIO;
    return 0;
}

// What writeInPlace did beside succeeding (1) or failing (0, errno set).
enum { kNoReader = 2, kGivenUp = 3 };

// Writes into the file that path opens, appending (a device, a FIFO, or
// the file behind a descriptor, whose earlier contents stay). The contents
// are made first, so that a slow reader holds up nothing but their write.
static int writeInPlace(const char *path, FillFn fill, const void *ctx, const WaitPolicy *wait)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENXIO ? kNoReader : 0;
    char *text = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&text, &len);
    int ok = mem && fillFile(mem, fill, ctx);
    int e = errno;
    if (mem && fclose(mem) != 0 && ok) {
        ok = 0;
        e = errno;
    }
    size_t done = 0;
    WriteResult r = kWriteDone;
    if (ok) {
        r = writeOut(fd, text, len, &done, wait);
        e = errno;
        ok = r == kWriteDone;
    }
    free(text);
    if (close(fd) != 0 && ok) {
        ok = 0;
        e = errno;
    }
    errno = e;
    return r == kWriteGivenUp ? kGivenUp : ok;
}

// Gives the new file fd the mode and owner of target when it exists (a
// new name gets 0644 less the umask); 0 with errno set when the owner
// cannot be kept.
static int takeOver(int fd, const char *target)
{
    struct stat st;
    if (stat(target, &st) != 0) {
        mode_t mask = umask(0);
        umask(mask);
        return fchmod(fd, 0644 & ~mask) == 0;
    }
    if ((st.st_uid != geteuid() || st.st_gid != getegid()) && fchown(fd, st.st_uid, st.st_gid) != 0)
        return 0;
    return fchmod(fd, st.st_mode & 07777) == 0;
}

// Writes a new file, created exclusively under a unique name beside
// target, and renames it over target once it is whole and on disk.
static int writeReplacing(const char *target, FillFn fill, const void *ctx)
{
    size_t dirLen;
    const char *base = baseName(target, &dirLen);
    char tmp[PATH_MAX + 16];
    snprintf(tmp, sizeof tmp, "%.*s.%.200s.XXXXXX", (int)dirLen, target, base);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0)
        return 0;
    int ok = takeOver(fd, target);
    FILE *f = ok ? fdopen(fd, "w") : nullptr;
    ok = f && fillFile(f, fill, ctx) && fsync(fd) == 0;
    int e = errno;
    if (f ? fclose(f) != 0 : close(fd) != 0) {
        if (ok)
            e = errno;
        ok = 0;
    }
    if (ok && rename(tmp, target) != 0) {
        e = errno;
        ok = 0;
    }
    if (!ok)
        unlink(tmp);
    errno = e;
    return ok;
}

int replaceFile(const char *path, const char *verb, FillFn fill, const void *ctx,
                const WaitPolicy *wait)
{
    char target[PATH_MAX];
    struct stat st;
    WriteHow how = kHowInPlace;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && !trustedLink(st)) {
        how = kHowRefused;
    } else if (stat(path, &st) != 0 || S_ISREG(st.st_mode)) {
        if (snprintf(target, sizeof target, "%s", path) >= (int)sizeof target) {
            errno = ENAMETOOLONG;
            how = kHowFailed;
        } else {
            how = followLinks(target);
        }
    }
    int ok = how == kHowReplace   ? writeReplacing(target, fill, ctx)
             : how == kHowInPlace ? writeInPlace(path, fill, ctx, wait)
                                    : 0;
    if (how == kHowRefused)
        fprintf(stderr, "cvfcollect: cannot %s %s: a symbolic link of another user leads there\n",
                verb, path);
    else if (ok == kNoReader)
        fprintf(stderr, "cvfcollect: cannot %s %s: no reader, skipped\n", verb, path);
    else if (ok == kGivenUp)
        fprintf(stderr, "cvfcollect: cannot %s %s: its reader takes nothing\n", verb, path);
    else if (!ok)
        fprintf(stderr, "cvfcollect: cannot %s %s: %s\n", verb, path, strerror(errno));
    return ok == 1 || ok == kNoReader;
}

int writeJsonFile(const char *path, const LineTable &t, const WaitPolicy *wait)
{
    return replaceFile(
        path, "write",
        [](FILE *out, const void *ctx) { return writeJson(out, *(const LineTable *)ctx); }, &t,
        wait);
}
