// Paths of a simulated Tolvi device's state.
#include "tolvi_paths.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

int tolviNameValid(const char *name)
{
    size_t len = name ? strnlen(name, kTolviNameMax + 1) : 0;
    if (len == 0 || len > kTolviNameMax || strchr(name, '/'))
        return 0;
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

static int buildPath(char *buf, size_t size, const char *fmt, const char *dir,
                     const char *name)
{
    int n = snprintf(buf, size, fmt, dir, name);
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

int tolviFlashPath(const char *dir, const char *name, char *buf, size_t size)
{
    if (!tolviNameValid(name))
        return -1;
    return buildPath(buf, size, "%s/tolvi/%s.flash", dir, name);
}

int tolviFaultsPath(const char *dir, const char *name, char *buf, size_t size)
{
    if (!tolviNameValid(name))
        return -1;
    return buildPath(buf, size, "%s/tolvi/%s.faults", dir, name);
}

int tolviClassPath(const char *dir, const char *name, char *buf, size_t size)
{
    if (!tolviNameValid(name))
        return -1;
    return buildPath(buf, size, "%s/sys/class/cvtolvi/%s", dir, name);
}

int tolviVersionPath(const char *dir, char *buf, size_t size)
{
    return buildPath(buf, size, "%s/proc/cvtolvi%s", dir, "");
}

int tolviMakeDirs(const char *dir, const char *rel)
{
    char path[4096];
    if (buildPath(path, sizeof path, "%s/%s", dir, rel) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    size_t skip = strlen(dir) + 1;
    for (char *p = path + skip;; ++p) {
        if (*p != '/' && *p != '\0')
            continue;
        char saved = *p;
        *p = '\0';
        if (mkdir(path, 0755) != 0 && errno != EEXIST)
            return -1;
        *p = saved;
        if (saved == '\0')
            return 0;
    }
}
