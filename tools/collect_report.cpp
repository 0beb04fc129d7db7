// Summary text and JSON.
#include "collect_report.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "collect_stats.h"

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

void printSummary(FILE *out, int utc)
{
    LineStats sum = statsSum();
    fprintf(out, "total: ");
    printCounts(out, sum);
    fprintf(out, " lines=%u tcp_connections=%llu sync_losses=%llu\n", g_lineCount,
            (ull)g_totals.tcpConnections, (ull)g_totals.syncLosses);
    if (g_totals.invalid) {
        fprintf(out, "invalid:");
        for (int c = 1; c < kRecCheckCount; c++)
            if (g_totals.invalidBy[c])
                fprintf(out, " %s=%llu", kRecordCheckName[c], (ull)g_totals.invalidBy[c]);
        fprintf(out, "\n");
    }
    for (const LineStats *ls : g_lines) {
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

int writeJson(FILE *out)
{
    LineStats sum = statsSum();
    fprintf(out, "{\n  ");
    jsonCounts(out, sum);
    fprintf(out, ",\n  \"tcp_connections\": %llu, \"sync_losses\": %llu,\n  \"invalid_by\": {",
            (ull)g_totals.tcpConnections, (ull)g_totals.syncLosses);
    for (int c = 1; c < kRecCheckCount; c++)
        fprintf(out, "%s\"%s\": %llu", c > 1 ? ", " : "", kRecordCheckName[c],
                (ull)g_totals.invalidBy[c]);
    fprintf(out, "},\n  \"lines\": [");
    const char *sep = "\n";
    for (const LineStats *ls : g_lines) {
        if (!ls)
            continue;
        fputs(sep, out);
        jsonLine(out, *ls);
        sep = ",\n";
    }
    fprintf(out, "%s]\n}\n", g_lineCount ? "\n  " : "");
    return !ferror(out);
}

int replaceFile(const char *path, const char *verb, int (*fill)(FILE *))
{
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (!f) {
        fprintf(stderr, "cvfcollect: cannot %s %s: %s\n", verb, tmp, strerror(errno));
        return 0;
    }
    int ok = fill(f);
    if (fclose(f) != 0 || !ok || rename(tmp, path) != 0) {
        fprintf(stderr, "cvfcollect: cannot %s %s: %s\n", verb, path, strerror(errno));
        remove(tmp);
        return 0;
    }
    return 1;
}

int writeJsonFile(const char *path)
{
    return replaceFile(path, "write", writeJson);
}
