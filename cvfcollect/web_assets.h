// The live page's files: its own, embedded in the binary at build time, and
// the charting library's, read at start from where Debian's libjs-dygraphs
// installs them. Nothing is ever read at a request's bidding.
#pragma once
#include <cstddef>
#include <cstdint>

#include "http.h"

struct WebAsset {
    const char *path;         // where it is served
    const char *contentType;
    const uint8_t *data;
    size_t size;
};

// The page's own files: index.html at "/", the others at "/<name>".
const WebAsset *webPageAssets(size_t *n);

// The charting library, loaded by webLibraryLoad.
struct WebLibrary {
    WebAsset js, css;
    uint8_t *jsData, *cssData;
    char error[1024];  // why the library is missing; "" when loaded
};

// The directory the library is read from, set at build time.
const char *webLibraryDir(void);
// Reads dygraph.min.js and dygraph.min.css from dir. Returns 1, or 0 with
// the reason in lib->error; the page then shows its table without charts
// and says why (the script served in the library's place tells it).
int webLibraryLoad(WebLibrary *lib, const char *dir);
void webLibraryFree(WebLibrary *lib);

// Every route of the page and the library, written to out; returns how
// many (at most kWebRoutesMax). lib must stay while they are served.
constexpr size_t kWebRoutesMax = 8;
size_t webRoutes(const WebLibrary *lib, HttpRoute *out, size_t room);
