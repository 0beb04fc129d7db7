// The summary at exit, as text and as JSON, and time-stamp formatting.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "write_out.h"

// "YYYY-MM-DDTHH:MM:SS.mmm" of a record time stamp, in UTC (with a final
// "Z") or local time; the bare number of seconds when it is out of range.
void formatStamp(char *out, size_t size, uint64_t secs, unsigned ms, int utc);
// "HH:MM:SS.mmm" of a record time stamp.
void formatTimeOfDay(char *out, size_t size, uint64_t secs, unsigned ms, int utc);

struct LineTable;

// Prints the totals line and one line per (gateway, line) of t.
void printSummary(FILE *out, const LineTable &t, int utc);
// Writes the same figures as JSON; 0 on a write failure.
int writeJson(FILE *out, const LineTable &t);
// Writes path with what fill writes from ctx (returning 0 on a failure). A new
// name or a regular file, also one reached through symbolic links (which
// stay), is replaced whole: the contents go to a file created exclusively
// under a unique name in the same directory, which then takes the mode and
// owner of the file it replaces and is renamed over it. A symbolic link is
// followed only when it belongs to the user the collector runs as, or to
// root. A device, a FIFO or a descriptor link (/dev/stdout) is written in
// place; a FIFO without a reader is reported and skipped, and a slow
// reader is waited for as wait says. Reports "cannot <verb> <path>" and
// returns 0 on failure.
typedef int (*FillFn)(FILE *out, const void *ctx);
int replaceFile(const char *path, const char *verb, FillFn fill, const void *ctx,
                const WaitPolicy *wait);
// Writes the JSON of t into path with replaceFile; reports and returns 0
// on failure.
int writeJsonFile(const char *path, const LineTable &t, const WaitPolicy *wait);
