// The summary at exit, as text and as JSON, and time-stamp formatting.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// "YYYY-MM-DDTHH:MM:SS.mmm" of a record time stamp, in UTC (with a final
// "Z") or local time; the bare number of seconds when it is out of range.
void formatStamp(char *out, size_t size, uint64_t secs, unsigned ms, int utc);
// "HH:MM:SS.mmm" of a record time stamp.
void formatTimeOfDay(char *out, size_t size, uint64_t secs, unsigned ms, int utc);

// Prints the totals line and one line per (gateway, line).
void printSummary(FILE *out, int utc);
// Writes the same figures as JSON; 0 on a write failure.
int writeJson(FILE *out);
// Creates path through a temporary file that fill writes (returning 0 on
// a failure) and that is then renamed into place; reports "cannot <verb>"
// and returns 0 on failure.
int replaceFile(const char *path, const char *verb, int (*fill)(FILE *));
// Writes the JSON into path with replaceFile; reports and returns 0 on failure.
int writeJsonFile(const char *path);
