// Looking at a simulated Tolvi device: the show and dump commands.
#include "tolvi_blocks.h"
#include "tolvi_cmd.h"
#include "tolvi_fault.h"
#include "tolvi_flash.h"
#include "tolvi_paths.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The whole flash of the device read into memory.
static unsigned char g_flashCopy[kTolviFlashSize];

static int readFlash(const char *name)
{
    char path[4096];
    if (tolviFlashPath(g_tolviDir, name, path, sizeof path) != 0)
        return tolviError("%s: not a valid interface name", name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return tolviError("%s: no such device (%s: %s)", name, path, strerror(errno));
    int err = tolviFlashRead(fd, 0, g_flashCopy, kTolviFlashSize);
    close(fd);
    if (err)
        return tolviError("%s: reading the flash: %s", name, strerror(err));
    return kTolviOk;
}

// The first line of the version file, or a note that it is missing.
static void showVersion(void)
{
    char path[4096], text[160] = "";
    tolviVersionPath(g_tolviDir, path, sizeof path);
    FILE *f = fopen(path, "re");
    if (!f) {
        printf("driver version: (no version file)\n");
        return;
    }
    if (!fgets(text, sizeof text, f))
        text[0] = '\0';
    fclose(f);
    text[strcspn(text, "\n")] = '\0';
    printf("driver version: %s\n", text);
}

static void showFaults(const char *name)
{
    char path[4096], line[256];
    tolviFaultsPath(g_tolviDir, name, path, sizeof path);
    FILE *f = fopen(path, "re");
    if (!f)
        return;
    while (fgets(line, sizeof line, f)) {
        TolviFault fault;
        if (tolviParseFault(line, &fault) == 0) {
            tolviFormatFault(&fault, line, sizeof line);
            printf("fault: %s\n", line);
        }
    }
    fclose(f);
}

int tolviCmdShow(int argc, char **argv)
{
    if (argc != 2)
        return tolviUsageError("show: give the device NAME");
    if (readFlash(argv[1]) != kTolviOk)
        return kTolviFailed;
    char path[4096];
    tolviClassPath(g_tolviDir, argv[1], path, sizeof path);
    printf("device %s: flash %u bytes, class entry %s\n", argv[1],
           (unsigned)kTolviFlashSize, access(path, F_OK) == 0 ? "present" : "missing");
    showVersion();
    TolviBlockInfo info[kTolviBlocks];
    tolviScanBlocks(g_flashCopy, info);
    tolviPrintBlocks(stdout, info);
    showFaults(argv[1]);
    return kTolviOk;
}

// "FIRST" or "FIRST-LAST", blocks 0-10 with FIRST <= LAST.
static int parseRange(const char *text, unsigned *first, unsigned *last)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%s", text);
    char *dash = strchr(buf, '-');
    if (dash)
        *dash = '\0';
    uint32_t a, b;
    if (tolviParseNumber(buf, &a) != 0)
        return -1;
    b = a;
    if (dash && tolviParseNumber(dash + 1, &b) != 0)
        return -1;
    if (a > b || b >= kTolviBlocks)
        return -1;
    *first = a;
    *last = b;
    return 0;
}

int tolviCmdDump(int argc, char **argv)
{
    unsigned first, last;
    if (argc != 4)
        return tolviUsageError("dump: give NAME, FIRST[-LAST] and OUTFILE");
    if (parseRange(argv[2], &first, &last) != 0)
        return tolviUsageError("dump: bad block range %s (blocks 0-10)", argv[2]);
    if (readFlash(argv[1]) != kTolviOk)
        return kTolviFailed;
    int toStdout = strcmp(argv[3], "-") == 0;
    FILE *out = toStdout ? stdout : fopen(argv[3], "wb");
    if (!out)
        return tolviError("%s: %s", argv[3], strerror(errno));
    uint32_t from = tolviBlockAddress[first], to = tolviBlockAddress[last + 1];
    size_t n = fwrite(g_flashCopy + from, 1, to - from, out);
    if ((toStdout ? fflush(out) : fclose(out)) != 0 || n != to - from)
        return tolviError("%s: write failed", argv[3]);
    return kTolviOk;
}
