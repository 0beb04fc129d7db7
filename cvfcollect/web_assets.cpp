// The charting library read from its package's directory, and the routes
// that serve it with the page.
#include "web_assets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#ifndef CV_DYGRAPHS_DIR
#define CV_DYGRAPHS_DIR "/usr/share/javascript/dygraphs"
#endif

constexpr size_t kLibraryMaxBytes = 8u << 20;  // dygraph.min.js is about 130 KiB
constexpr const char *kJsType = "text/javascript; charset=utf-8";
constexpr const char *kCssType = "text/css; charset=utf-8";

const char *webLibraryDir(void)
{
    return CV_DYGRAPHS_DIR;
}

// Reads the regular file dir/name whole into *data. Returns 1, or 0 with
// the reason in err.
static int readWhole(const char *dir, const char *name, uint8_t **data, size_t *size,
                     char *err, size_t errSize)
{
    char path[512];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    const char *why = nullptr;
    if (fd < 0 || fstat(fd, &st) != 0)
        why = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    else if ((uint64_t)st.st_size > kLibraryMaxBytes)
        why = "too large";
    uint8_t *buf = why ? nullptr : (uint8_t *)malloc((size_t)st.st_size + 1);
    if (!why && !buf)
        why = "out of memory";
    size_t got = 0;
    while (!why && got < (size_t)st.st_size) {
        ssize_t n = read(fd, buf + got, (size_t)st.st_size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            why = n < 0 ? strerror(errno) : "shorter than its size";
        else
            got += (size_t)n;
    }
    if (fd >= 0)
        close(fd);
    if (why) {
        free(buf);
        snprintf(err, errSize, "cannot read %s: %s", path, why);
        return 0;
    }
    *data = buf;
    *size = got;
    return 1;
}

// In the library's place: a script that leaves the reason for the page.
static void standIn(WebLibrary *lib)
{
    char js[sizeof lib->error + 64];
    int n = snprintf(js, sizeof js, "window.cvfChartsMissing = \"");
    for (const char *p = lib->error; *p && n < (int)sizeof js - 8; p++) {
        unsigned char c = (unsigned char)*p;
        n += snprintf(js + n, sizeof js - (size_t)n, c < 0x20 || c >= 0x7f || c == '"' ||
                      c == '\\' || c == '<' ? "\\x%02x" : "%c", c);
    }
    n += snprintf(js + n, sizeof js - (size_t)n, "\";\n");
    lib->jsData = (uint8_t *)strdup(js);
    lib->js.data = lib->jsData ? lib->jsData : (const uint8_t *)"";
    lib->js.size = lib->jsData ? (size_t)n : 0;
    lib->css.data = (const uint8_t *)"";
    lib->css.size = 0;
}

int webLibraryLoad(WebLibrary *lib, const char *dir)
{
    *lib = WebLibrary{};
    lib->js = {"/dygraph.min.js", kJsType, nullptr, 0};
    lib->css = {"/dygraph.min.css", kCssType, nullptr, 0};
    if (readWhole(dir, "dygraph.min.js", &lib->jsData, &lib->js.size, lib->error,
                  sizeof lib->error) &&
        readWhole(dir, "dygraph.min.css", &lib->cssData, &lib->css.size, lib->error,
                  sizeof lib->error)) {
        lib->js.data = lib->jsData;
        lib->css.data = lib->cssData;
        return 1;
    }
    free(lib->jsData);
    lib->jsData = nullptr;
    standIn(lib);
    return 0;
}

void webLibraryFree(WebLibrary *lib)
{
    free(lib->jsData);
    free(lib->cssData);
    *lib = WebLibrary{};
}

size_t webRoutes(const WebLibrary *lib, HttpRoute *out, size_t room)
{
    size_t n = 0, count;
    const WebAsset *page = webPageAssets(&count);
    for (size_t i = 0; i < count && n < room; i++)
        out[n++] = {page[i].path, page[i].contentType, nullptr, page[i].data, page[i].size};
    for (const WebAsset *a : {&lib->js, &lib->css})
        if (n < room)
            out[n++] = {a->path, a->contentType, nullptr, a->data, a->size};
    return n;
}
