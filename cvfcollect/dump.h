// Files that keep records exactly as received, back to back.
#pragma once
#include <cstddef>
#include <cstdint>

#include "write_out.h"

constexpr size_t kDumpBufLen = 1 << 20;  // bytes gathered before each write

struct DumpFile {
    int fd;            // -1 when not open
    const char *path;
    const WaitPolicy *wait;  // how writes wait for a slow reader
    uint8_t *buf;      // kDumpBufLen bytes
    size_t used;
    int regular;       // 1 for a regular file
    int emptied;       // 1 once a regular file's earlier contents were cut off
    int failed;        // 1 after a write failed (reported once)
};

// A dump that is not open.
inline DumpFile dumpNone(void) { return {-1, nullptr, nullptr, nullptr, 0, 0, 0, 0}; }

// Opens path as -w opens a capture: never through a symbolic link, never a
// file with further hard links, and a FIFO only with a reader. An existing
// file keeps its contents until there is something to write or the run
// ends. Reports and returns 0 on failure.
int dumpOpen(DumpFile *d, const char *path, const WaitPolicy *wait);
// Appends n bytes; nothing for a file that is not open or has failed.
void dumpWrite(DumpFile *d, const void *p, size_t n);
// Writes what is gathered (emptying a file that got nothing) and closes;
// 0 when any write failed.
int dumpClose(DumpFile *d);
