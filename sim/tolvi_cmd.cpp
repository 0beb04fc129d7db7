// Shared pieces of the "cvsim tolvi ..." commands: messages, the simulator
// directory and numbers.
#include "tolvi_cmd.h"
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

char g_tolviDir[4096];

// "cvsim: tolvi: " and the message, without the line's end.
static void vmessage(const char *fmt, va_list ap)
{
    fputs("cvsim: tolvi: ", stderr);
    vfprintf(stderr, fmt, ap);
}

int tolviError(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vmessage(fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    return kTolviFailed;
}

int tolviUsageError(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vmessage(fmt, ap);
    va_end(ap);
    fputs("\n(see cvsim tolvi --help)\n", stderr);
    return kTolviUsage;
}

int tolviTakeDirOption(int argc, char **argv, const char **dir)
{
    *dir = nullptr;
    int out = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            while (i < argc)
                argv[out++] = argv[i++];
            break;
        }
        if (strncmp(argv[i], "--dir=", 6) == 0) {
            *dir = argv[i] + 6;
        } else if (strcmp(argv[i], "--dir") == 0) {
            if (i + 1 >= argc) {
                tolviUsageError("--dir needs a directory");
                return -1;
            }
            *dir = argv[++i];
        } else {
            argv[out++] = argv[i];
        }
    }
    argv[out] = nullptr;
    return out;
}

int tolviUseDir(const char *dir, int create)
{
    if (!dir || !*dir)
        dir = getenv("CVSIM_DIR");
    if (!dir || !*dir) {
        tolviError("no simulator directory: give --dir DIR or set CVSIM_DIR");
        return -1;
    }
    if (create && mkdir(dir, 0755) != 0 && errno != EEXIST) {
        tolviError("%s: %s", dir, strerror(errno));
        return -1;
    }
    char real[PATH_MAX];
    if (!realpath(dir, real)) {
        tolviError("%s: %s", dir, strerror(errno));
        return -1;
    }
    snprintf(g_tolviDir, sizeof g_tolviDir, "%s", real);
    return 0;
}

int tolviParseNumber(const char *text, uint32_t *out)
{
    if (*text < '0' || *text > '9')
        return -1;
    char *end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFull)
        return -1;
    *out = (uint32_t)v;
    return 0;
}

