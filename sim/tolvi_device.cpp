// Making and changing simulated Tolvi devices: create, version, class and
// fault commands.
#include "tolvi_cmd.h"
#include "tolvi_fault.h"
#include "tolvi_flash.h"
#include "tolvi_hex.h"
#include "tolvi_paths.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Writes the whole text to PATH (created or truncated).
static int writeFile(const char *path, const char *text, size_t len)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return tolviError("%s: %s", path, strerror(errno));
    ssize_t n = len ? write(fd, text, len) : 0;
    if (close(fd) != 0 || n != (ssize_t)len)
        return tolviError("%s: write failed", path);
    return kTolviOk;
}

// Removes a class entry (a file, or a directory someone made by hand).
static int removeEntry(const char *path)
{
    if (rmdir(path) == 0 || errno == ENOENT)
        return kTolviOk;
    if (unlink(path) == 0 || errno == ENOENT)
        return kTolviOk;
    return tolviError("%s: %s", path, strerror(errno));
}

static int setClassEntry(const char *name, int present)
{
    char path[4096];
    if (tolviClassPath(g_tolviDir, name, path, sizeof path) != 0)
        return tolviError("%s: not a valid interface name", name);
    if (!present)
        return removeEntry(path);
    if (tolviMakeDirs(g_tolviDir, "sys/class/cvtolvi") != 0)
        return tolviError("%s: %s", path, strerror(errno));
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return kTolviOk;
    // A plain file: whatever opens it read-only finds it.
    return writeFile(path, "", 0);
}

int tolviWriteVersion(const char *text)
{
    char path[4096], line[4096];
    if (tolviMakeDirs(g_tolviDir, "proc") != 0 ||
        tolviVersionPath(g_tolviDir, path, sizeof path) != 0)
        return tolviError("%s/proc: %s", g_tolviDir, strerror(errno));
    int n = snprintf(line, sizeof line, "%s\n", text);
    if (n < 0 || (size_t)n >= sizeof line)
        return tolviError("version text too long");
    return writeFile(path, line, (size_t)n);
}

static int openFlash(const char *name, int flags)
{
    char path[4096];
    if (tolviFlashPath(g_tolviDir, name, path, sizeof path) != 0) {
        tolviError("%s: not a valid interface name", name);
        return -1;
    }
    int fd = open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0)
        tolviError("%s: no such device (%s: %s)", name, path, strerror(errno));
    return fd;
}

int tolviCreateDevice(const char *name, const char *version, int classEntry)
{
    char path[4096];
    if (!tolviNameValid(name))
        return tolviError("%s: not a valid interface name", name);
    if (tolviMakeDirs(g_tolviDir, "tolvi") != 0)
        return tolviError("%s/tolvi: %s", g_tolviDir, strerror(errno));
    int fd = openFlash(name, O_RDWR | O_CREAT | O_TRUNC);
    if (fd < 0)
        return kTolviFailed;
    int err = tolviFlashFormat(fd);
    close(fd);
    if (err)
        return tolviError("%s: flash: %s", name, strerror(err));
    tolviFaultsPath(g_tolviDir, name, path, sizeof path);
    if (writeFile(path, "", 0) != kTolviOk || setClassEntry(name, classEntry) != kTolviOk)
        return kTolviFailed;
    tolviVersionPath(g_tolviDir, path, sizeof path);
    if (version || access(path, F_OK) != 0)
        return tolviWriteVersion(version ? version : "2.1.6");
    return kTolviOk;
}

int tolviProgramImage(const char *name, uint32_t address, const unsigned char *img,
                      size_t len)
{
    int fd = openFlash(name, O_RDWR);
    if (fd < 0)
        return kTolviFailed;
    int err = tolviFlashProgram(fd, address, img, len);
    close(fd);
    if (err)
        return tolviError("%s: programming 0x%05x: %s", name, (unsigned)address,
                          strerror(err));
    return kTolviOk;
}

// One --image BLOCK:FILE: the block number and the file.
static int parseImageArg(const char *arg, unsigned *block, const char **file)
{
    const char *colon = strchr(arg, ':');
    char num[16];
    uint32_t b;
    size_t n = colon ? (size_t)(colon - arg) : 0;
    if (!colon || n == 0 || n >= sizeof num)
        return -1;
    memcpy(num, arg, n);
    num[n] = '\0';
    if (tolviParseNumber(num, &b) != 0 || b >= kTolviBlocks || !colon[1])
        return -1;
    *block = b;
    *file = colon + 1;
    return 0;
}

// Loads the image for --image into img; the extent is the bytes to program.
static int loadImage(const char *arg, unsigned char *img, unsigned *block,
                     size_t *extent)
{
    const char *file;
    if (parseImageArg(arg, block, &file) != 0)
        return tolviUsageError("create: --image wants BLOCK:FILE with BLOCK 0-10, not %s",
                               arg);
    size_t room = kTolviFlashSize - tolviBlockAddress[*block];
    size_t cap = room < kTolviImageMax ? room : kTolviImageMax;
    char err[4200];
    memset(img, 0xFF, kTolviImageMax);
    if (tolviReadHex(file, img, cap, extent, err, sizeof err) != 0)
        return tolviError("%s", err);
    return kTolviOk;
}

struct CreateArgs {
    const char *name;
    const char *version;
    int classEntry;
    const char *images[32];
    int imageCount;
};

static int parseCreate(int argc, char **argv, CreateArgs *a)
{
    *a = {nullptr, nullptr, 1, {}, 0};
    for (int i = 1; i < argc; ++i) {
        const char *opt = argv[i];
        if (strcmp(opt, "--no-class-entry") == 0) {
            a->classEntry = 0;
        } else if (strcmp(opt, "--version") == 0 || strcmp(opt, "--image") == 0) {
            if (i + 1 >= argc)
                return tolviUsageError("create: %s needs a value", opt);
            if (opt[2] == 'v')
                a->version = argv[++i];
            else if (a->imageCount < 32)
                a->images[a->imageCount++] = argv[++i];
            else
                return tolviUsageError("create: too many images");
        } else if (opt[0] == '-' || a->name) {
            return tolviUsageError("create: unexpected argument %s", opt);
        } else {
            a->name = opt;
        }
    }
    if (!a->name)
        return tolviUsageError("create: give the device NAME");
    if (!tolviNameValid(a->name))
        return tolviError("%s: not a valid interface name (1-15 characters, no '/')",
                          a->name);
    return kTolviOk;
}

int tolviCmdCreate(int argc, char **argv)
{
    CreateArgs a;
    int rc = parseCreate(argc, argv, &a);
    static unsigned char img[kTolviImageMax];
    unsigned block;
    size_t extent;
    // Every image is checked before anything is made, so a bad file leaves
    // the directory as it was.
    for (int i = 0; rc == kTolviOk && i < a.imageCount; ++i)
        rc = loadImage(a.images[i], img, &block, &extent);
    if (rc == kTolviOk)
        rc = tolviCreateDevice(a.name, a.version, a.classEntry);
    for (int i = 0; rc == kTolviOk && i < a.imageCount; ++i) {
        rc = loadImage(a.images[i], img, &block, &extent);
        if (rc == kTolviOk)
            rc = tolviProgramImage(a.name, tolviBlockAddress[block], img, extent);
    }
    return rc;
}

int tolviCmdVersion(int argc, char **argv)
{
    if (argc != 2)
        return tolviUsageError("version: give the TEXT or --remove");
    if (strcmp(argv[1], "--remove") != 0)
        return tolviWriteVersion(argv[1]);
    char path[4096];
    tolviVersionPath(g_tolviDir, path, sizeof path);
    if (unlink(path) != 0 && errno != ENOENT)
        return tolviError("%s: %s", path, strerror(errno));
    return kTolviOk;
}

int tolviCmdClass(int argc, char **argv)
{
    if (argc != 3 || (strcmp(argv[2], "--add") != 0 && strcmp(argv[2], "--remove") != 0))
        return tolviUsageError("class: give NAME and --add or --remove");
    return setClassEntry(argv[1], strcmp(argv[2], "--add") == 0);
}

static int appendFault(const char *name, const TolviFault *f)
{
    char path[4096], line[96];
    tolviFaultsPath(g_tolviDir, name, path, sizeof path);
    tolviFormatFault(f, line, sizeof line - 1);
    strcat(line, "\n");
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return tolviError("%s: %s", path, strerror(errno));
    ssize_t n = write(fd, line, strlen(line));
    if (close(fd) != 0 || n != (ssize_t)strlen(line))
        return tolviError("%s: write failed", path);
    return kTolviOk;
}

int tolviCmdFault(int argc, char **argv)
{
    if (argc < 3)
        return tolviUsageError("fault: give NAME and a fault or clear");
    int fd = openFlash(argv[1], O_RDONLY);
    if (fd < 0)
        return kTolviFailed;
    close(fd);
    char path[4096];
    tolviFaultsPath(g_tolviDir, argv[1], path, sizeof path);
    if (strcmp(argv[2], "clear") == 0)
        return argc == 3 ? writeFile(path, "", 0)
                         : tolviUsageError("fault: clear takes no arguments");
    TolviFault f;
    int op = tolviParseOp(argv[2]);
    if (op < 0 || argc < 4 || argc > 5)
        return tolviUsageError("fault: give read, program or erase, a target and an errno");
    f.op = (TolviOp)op;
    if (tolviParseTarget(argv[3], &f) != 0)
        return tolviUsageError("fault: bad target %s (an address below 0x80000 or block:0-10)",
                               argv[3]);
    f.err = argc == 5 ? tolviParseErrno(argv[4]) : EIO;
    if (f.err <= 0)
        return tolviUsageError("fault: bad errno %s", argv[4]);
    return appendFault(argv[1], &f);
}
