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

// Prints the totals line and one line per (gateway, line).
void printSummary(FILE *out, int utc);
// Writes the same figures as JSON; 0 on a write failure.
int writeJson(FILE *out);
// Writes path with what fill writes (returning 0 on a failure). A new
// name or a regular file, also one reached through symbolic links (which
// stay), is replaced whole: the contents go to a file created exclusively
// under a unique name in the same directory, which then takes the mode and
// owner of the file it replaces and is renamed over it. A symbolic link is
// followed only when it belongs to the user the collector runs as, or to
// root. A device, a FIFO or a descriptor link (/dev/stdout) is written in
// place; a FIFO without a reader is reported and skipped. A stop asked for
// in sig ends a wait for a slow reader. Reports "cannot <verb> <path>" and
// returns 0 on failure.
int replaceFile(const char *path, const char *verb, int (*fill)(FILE *), const SignalState *sig);
// Writes the JSON into path with replaceFile; reports and returns 0 on failure.
int writeJsonFile(const char *path, const SignalState *sig);
