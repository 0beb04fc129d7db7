// Record lines.
#include "print.h"

#include "summary.h"

static void printBytes(FILE *out, const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        fprintf(out, " %02x", p[i]);
}

static void printHexDump(FILE *out, const uint8_t *p, size_t n)
{
    for (size_t at = 0; at < n; at += 16) {
        fprintf(out, "  %04zx:", at);
        printBytes(out, p + at, n - at < 16 ? n - at : 16);
        fputc('\n', out);
    }
}

void printRecord(FILE *out, const CvRecord &rec, int hex, int utc)
{
    char tod[40];
    formatTimeOfDay(tod, sizeof tod, rec.stampSecs, rec.stampMsecs, utc);
    fprintf(out, "gw=%u line=%u seq=%u %s %s len=%u", rec.gwId, rec.lineNum, rec.seqNo,
            rec.txFlag ? "Tx" : "Rx", tod, rec.frameLen);
    if (hex) {
        fputc('\n', out);
        printHexDump(out, rec.frame, rec.frameLen);
        return;
    }
    size_t n = rec.frameLen < kPrintBytes ? rec.frameLen : kPrintBytes;
    printBytes(out, rec.frame, n);
    fputs(rec.frameLen > n ? " ...\n" : "\n", out);
}

void printInvalid(FILE *out, const char *from, RecordCheck why, const uint8_t *p, size_t len)
{
    fprintf(out, "invalid %s: %s, %zu bytes:", from, kRecordCheckName[why], len);
    size_t n = len < kHdrLenV1 ? len : kHdrLenV1;
    printBytes(out, p, n);
    fputs(len > n ? " ...\n" : "\n", out);
}
