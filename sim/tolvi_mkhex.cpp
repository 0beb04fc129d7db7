// The mkhex command: writes a plausible Tolvi firmware image as Intel HEX.
#include "tolvi_cmd.h"
#include "tolvi_flash.h"
#include "tolvi_hex.h"
#include <cerrno>
#include <cstdio>
#include <cstring>

struct MkhexArgs {
    const char *out;
    uint32_t length;
    uint32_t version;
    uint32_t start;
    uint32_t seed;
    int header;
};

static int parseMkhex(int argc, char **argv, MkhexArgs *a)
{
    *a = {nullptr, 0, 0x01000000, 0x1C, 1, 1};
    int haveLength = 0;
    for (int i = 1; i < argc; ++i) {
        const char *opt = argv[i];
        const char *val = i + 1 < argc ? argv[i + 1] : nullptr;
        int bad = 0;
        if (strcmp(opt, "--no-header") == 0) {
            a->header = 0;
            continue;
        }
        if (opt[0] != '-' || opt[1] == '\0') {
            if (a->out)
                return tolviUsageError("mkhex: one output file only");
            a->out = opt;
            continue;
        }
        if (!val)
            return tolviUsageError("mkhex: %s needs a value", opt);
        if (strcmp(opt, "--length") == 0) {
            bad = tolviParseNumber(val, &a->length);
            haveLength = 1;
        } else if (strcmp(opt, "--version") == 0) {
            bad = tolviParseVersion(val, &a->version);
        } else if (strcmp(opt, "--start") == 0) {
            bad = tolviParseNumber(val, &a->start);
        } else if (strcmp(opt, "--seed") == 0) {
            bad = tolviParseNumber(val, &a->seed);
        } else {
            return tolviUsageError("mkhex: unknown option %s", opt);
        }
        if (bad)
            return tolviUsageError("mkhex: bad value for %s: %s", opt, val);
        ++i;
    }
    if (!a->out || !haveLength)
        return tolviUsageError("mkhex: give OUT and --length N");
    uint32_t least = a->header ? (uint32_t)kTolviHeaderSize : 1;
    if (a->length < least || a->length > kTolviImageMax)
        return tolviUsageError("mkhex: --length must be %u to %u", (unsigned)least,
                               (unsigned)kTolviImageMax);
    return kTolviOk;
}

int tolviCmdMkhex(int argc, char **argv)
{
    MkhexArgs a;
    int rc = parseMkhex(argc, argv, &a);
    if (rc != kTolviOk)
        return rc;
    static unsigned char img[kTolviImageMax];
    tolviMakeImage(img, a.length, a.version, a.start, a.header, a.seed);
    int toStdout = strcmp(a.out, "-") == 0;
    FILE *out = toStdout ? stdout : fopen(a.out, "w");
    if (!out)
        return tolviError("%s: %s", a.out, strerror(errno));
    rc = tolviWriteHex(out, img, a.length, a.start);
    if ((toStdout ? fflush(out) : fclose(out)) != 0 || rc != 0)
        return tolviError("%s: write failed", a.out);
    return kTolviOk;
}

