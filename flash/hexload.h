// HEX loader: reads an Intel HEX image file into the image buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t kImageSize = 0x20000;          // two 64 KB blocks
constexpr size_t kImageChunks = kImageSize / 256;
constexpr int kMaxRecordData = 255;             // data bytes of the longest record
constexpr int kMaxRecordLine = 11 + 2 * kMaxRecordData;  // characters, without line end

// Load results.
constexpr int LOAD_OK = 0;
constexpr int LOAD_NO_FILE = -1;   // the file could not be opened
constexpr int LOAD_BAD = -2;       // a malformed record or a bad checksum
constexpr int LOAD_RANGE = -3;     // data beyond the image buffer

extern uint8_t g_imageBuf[kImageSize];      // the image, 0xFF where the file put nothing
extern uint8_t g_chunkFilled[kImageChunks]; // 1 for each 256-byte chunk the file wrote into
extern int64_t g_imageBytes;                // data bytes of all data records
extern uint64_t g_imageMinAddress;          // lowest data address
extern uint64_t g_imageMaxAddress;          // highest last data address

// Value of the hex digits of line at positions first to last (inclusive).
int extract(const char *line, int first, int last);

// Reads every record of f into a cleared image buffer. Prints the reason
// of a failure (naming the line) and returns LOAD_BAD or LOAD_RANGE.
int loadImageStream(FILE *f);

// Opens fileName, loads it and prints the summary; a LOAD_* result.
int loadImage(const char *fileName);
