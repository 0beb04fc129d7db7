// Injected faults: parsing, matching and the faults file.
#include "tolvi_fault.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

struct ErrnoName {
    int err;
    const char *name;
};

// The errno values a fault is most likely to be given, by name.
static constexpr ErrnoName errnoNames[] = {
    {EPERM, "EPERM"},         {ENOENT, "ENOENT"},   {EINTR, "EINTR"},
    {EIO, "EIO"},             {ENXIO, "ENXIO"},     {EAGAIN, "EAGAIN"},
    {ENOMEM, "ENOMEM"},       {EACCES, "EACCES"},   {EFAULT, "EFAULT"},
    {EBUSY, "EBUSY"},         {ENODEV, "ENODEV"},   {EINVAL, "EINVAL"},
    {ENOTTY, "ENOTTY"},       {ENOSPC, "ENOSPC"},   {EROFS, "EROFS"},
    {EPROTO, "EPROTO"},       {ENOTSUP, "EOPNOTSUPP"}, {ETIMEDOUT, "ETIMEDOUT"},
    {ESHUTDOWN, "ESHUTDOWN"}, {ECOMM, "ECOMM"},     {ENOTCONN, "ENOTCONN"},
};

static constexpr const char *opNames[] = {"read", "program", "erase"};

int tolviParseErrno(const char *text)
{
    for (const ErrnoName &e : errnoNames)
        if (strcmp(text, e.name) == 0)
            return e.err;
    char *end;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v <= 0 || v > 4095)
        return 0;
    return (int)v;
}

const char *tolviErrnoName(int err)
{
    for (const ErrnoName &e : errnoNames)
        if (e.err == err)
            return e.name;
    return nullptr;
}

int tolviParseOp(const char *text)
{
    for (int i = 0; i < 3; ++i)
        if (strcmp(text, opNames[i]) == 0)
            return i;
    return -1;
}

const char *tolviOpName(TolviOp op)
{
    return opNames[op];
}

// Unsigned number, decimal or 0x hex, the whole text.
static int parseNumber(const char *text, uint32_t *out)
{
    if (*text < '0' || *text > '9')
        return -1;
    char *end;
    errno = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFul)
        return -1;
    *out = (uint32_t)v;
    return 0;
}

int tolviParseTarget(const char *text, TolviFault *f)
{
    uint32_t v;
    if (strncmp(text, "block:", 6) == 0) {
        if (parseNumber(text + 6, &v) != 0 || v >= kTolviBlocks)
            return -1;
        f->isBlock = 1;
    } else {
        if (parseNumber(text, &v) != 0 || v >= kTolviFlashSize)
            return -1;
        f->isBlock = 0;
    }
    f->value = v;
    return 0;
}

int tolviParseFault(const char *line, TolviFault *f)
{
    char kind[16], target[32], err[32], extra[2];
    int n = sscanf(line, " %15s %31s %31s %1s", kind, target, err, extra);
    if (n <= 0 || kind[0] == '#')
        return 1;
    if (n < 2 || n > 3)
        return -1;
    int op = tolviParseOp(kind);
    if (op < 0 || tolviParseTarget(target, f) != 0)
        return -1;
    f->op = (TolviOp)op;
    f->err = n == 3 ? tolviParseErrno(err) : EIO;
    return f->err > 0 ? 0 : -1;
}

void tolviFormatFault(const TolviFault *f, char *buf, size_t size)
{
    char target[32], err[16];
    if (f->isBlock)
        snprintf(target, sizeof target, "block:%u", (unsigned)f->value);
    else
        snprintf(target, sizeof target, "0x%05x", (unsigned)f->value);
    const char *name = tolviErrnoName(f->err);
    if (name)
        snprintf(err, sizeof err, "%s", name);
    else
        snprintf(err, sizeof err, "%d", f->err);
    snprintf(buf, size, "%s %s %s", tolviOpName(f->op), target, err);
}

int tolviFaultMatches(const TolviFault *f, const TolviRequest *r)
{
    if (f->op != r->op)
        return 0;
    uint32_t first = f->value, end = f->value + 1;
    if (f->isBlock) {
        first = tolviBlockAddress[f->value];
        end = tolviBlockAddress[f->value + 1];
    }
    return first < r->end && r->address < end;
}

int tolviFaultCheck(const char *path, const TolviRequest *r)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[16384];
    size_t used = 0;
    ssize_t got;
    while (used < sizeof buf - 1 &&
           (got = read(fd, buf + used, sizeof buf - 1 - used)) > 0)
        used += (size_t)got;
    close(fd);
    buf[used] = '\0';
    for (char *line = buf; line && *line;) {
        char *next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        TolviFault f;
        if (tolviParseFault(line, &f) == 0 && tolviFaultMatches(&f, r))
            return f.err;
        line = next;
    }
    return 0;
}
