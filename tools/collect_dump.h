// Files that keep records exactly as received, back to back.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kDumpBufLen = 1 << 20;  // bytes gathered before each write

struct DumpFile {
    int fd;            // -1 when not open
    const char *path;
    uint8_t *buf;      // kDumpBufLen bytes
    size_t used;
    int failed;        // 1 after a write failed (reported once)
};

extern DumpFile g_dump;         // --dump: every valid record
extern DumpFile g_dumpInvalid;  // --dump-invalid: every refused record

// Creates (truncates) path; reports and returns 0 on failure.
int dumpOpen(DumpFile *d, const char *path);
// Appends n bytes; nothing for a file that is not open or has failed.
void dumpWrite(DumpFile *d, const void *p, size_t n);
// Writes what is gathered and closes; 0 when any write failed.
int dumpClose(DumpFile *d);
