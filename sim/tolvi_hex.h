// Tolvi firmware images: a generator of plausible images with a correct
// image header, and an Intel HEX writer and reader for them. Addresses in
// a HEX file are relative to the start of the image.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Largest image: two 64 KiB blocks.
constexpr size_t kTolviImageMax = 0x20000;
// Data bytes per record written.
constexpr size_t kHexRecordBytes = 16;

// Packs "a.b.c.d" (each 0-255) into the header's version word, a in the
// most significant byte; 0 on success, -1 when malformed.
int tolviParseVersion(const char *text, uint32_t *out);

// Fills img[0..len) with a plausible firmware image: the image header
// (magic, checksum of the bytes after the header, version, length, start
// address) unless withHeader is 0, then code-like bytes derived from seed.
// len must be at least the header size when a header is wanted.
void tolviMakeImage(unsigned char *img, size_t len, uint32_t version,
                    uint32_t start, int withHeader, uint32_t seed);

// Sum of the image bytes after the header, as the header's checksum.
uint32_t tolviImageChecksum(const unsigned char *img, size_t len);

// Writes img[0..len) as Intel HEX: an extended linear address record for
// each 64 KiB segment, data records of 16 bytes, a start linear address
// record with start, and the end-of-file record. 0 or -1 on a write error.
int tolviWriteHex(FILE *out, const unsigned char *img, size_t len,
                  uint32_t start);

// Reads an Intel HEX file into img[0..cap) (which the caller has filled
// with 0xFF); *extent becomes the end of the highest data byte. Records of
// types 00-05 are taken, type 02 and 04 set the address offset, 03 and 05
// are ignored, records after the end-of-file record still count. 0, or -1
// with the reason (file and line) in err.
int tolviReadHex(const char *path, unsigned char *img, size_t cap,
                 size_t *extent, char *err, size_t errsize);
