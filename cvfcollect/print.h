// One line per record on request, and the notices for refused records.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "record.h"

constexpr unsigned kPrintBytes = 16;  // frame bytes shown on a record line

// "gw=G line=L seq=S Tx HH:MM:SS.mmm len=N xx xx ..."; with hex, the
// whole frame follows in lines of 16 bytes.
void printRecord(FILE *out, const CvRecord &rec, int hex, int utc);
// "invalid <from>: <check>, <len> bytes: xx xx ..." for a refused record.
void printInvalid(FILE *out, const char *from, RecordCheck why, const uint8_t *p, size_t len);
