// Firmware image generator and Intel HEX writer and reader.
#include "tolvi_hex.h"
#include "tolvi_flash.h"
#include <cerrno>
#include <cstdlib>
#include <cstring>

int tolviParseVersion(const char *text, uint32_t *out)
{
    unsigned part[4];
    char tail;
    if (sscanf(text, "%3u.%3u.%3u.%3u%c", &part[0], &part[1], &part[2],
               &part[3], &tail) != 4 || text[0] < '0' || text[0] > '9')
        return -1;
    uint32_t v = 0;
    for (unsigned p : part) {
        if (p > 255)
            return -1;
        v = v << 8 | p;
    }
    *out = v;
    return 0;
}

uint32_t tolviImageChecksum(const unsigned char *img, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = kTolviHeaderSize; i < len; ++i)
        sum += img[i];
    return sum;
}

// A banner string and code-like words: little-endian instruction words
// with a few recurring opcodes, some literal pools and zero padding.
static void fillBody(unsigned char *img, size_t from, size_t len, uint32_t seed)
{
    static const char banner[] = "Corvane Tolvi firmware (c) Corvane";
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (size_t i = from; i < len; ++i) {
        x = x * 1664525u + 1013904223u;
        unsigned r = x >> 24;
        if (i % 4 == 3)
            img[i] = (unsigned char)(0xE0 | (r & 0x0F));
        else if (r < 24)
            img[i] = 0;
        else
            img[i] = (unsigned char)r;
    }
    size_t at = from + 64;
    if (at + sizeof banner <= len)
        memcpy(img + at, banner, sizeof banner);
}

void tolviMakeImage(unsigned char *img, size_t len, uint32_t version,
                    uint32_t start, int withHeader, uint32_t seed)
{
    if (!withHeader) {
        fillBody(img, 0, len, seed);
        return;
    }
    fillBody(img, kTolviHeaderSize, len, seed);
    memset(img, 0, kTolviHeaderSize);
    putLe32(img + kHdrMagic, kTolviImageMagic);
    putLe32(img + kHdrSize, kTolviHeaderSize);
    putLe32(img + kHdrVersion, version);
    putLe32(img + kHdrLength, (uint32_t)len);
    putLe32(img + kHdrStart, start);
    putLe32(img + kHdrChecksum, tolviImageChecksum(img, len));
}

// One record: ":" count, address, type, data, checksum (two's complement
// of the byte sum).
static int writeRecord(FILE *out, unsigned type, unsigned address,
                       const unsigned char *data, size_t count)
{
    unsigned sum = (unsigned)count + (address >> 8) + (address & 0xFF) + type;
    fprintf(out, ":%02X%04X%02X", (unsigned)count, address & 0xFFFF, type);
    for (size_t i = 0; i < count; ++i) {
        fprintf(out, "%02X", data[i]);
        sum += data[i];
    }
    return fprintf(out, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF) < 0 ? -1 : 0;
}

int tolviWriteHex(FILE *out, const unsigned char *img, size_t len,
                  uint32_t start)
{
    int rc = 0;
    for (size_t at = 0; at < len; at += kHexRecordBytes) {
        if (at % 0x10000 == 0) {
            unsigned char seg[2] = {(unsigned char)(at >> 24),
                                    (unsigned char)(at >> 16)};
            rc |= writeRecord(out, 4, 0, seg, 2);
        }
        size_t n = len - at < kHexRecordBytes ? len - at : kHexRecordBytes;
        rc |= writeRecord(out, 0, (unsigned)(at & 0xFFFF), img + at, n);
    }
    unsigned char sa[4] = {(unsigned char)(start >> 24),
                           (unsigned char)(start >> 16),
                           (unsigned char)(start >> 8), (unsigned char)start};
    rc |= writeRecord(out, 5, 0, sa, 4);
    rc |= writeRecord(out, 1, 0, nullptr, 0);
    return rc != 0 || ferror(out) ? -1 : 0;
}

static int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Decodes the hex text of a record (after ':') into bytes; -1 when a
// character is not a hex digit or the count is odd.
static int decodeBytes(const char *text, size_t chars, unsigned char *out)
{
    if (chars % 2 != 0)
        return -1;
    for (size_t i = 0; i < chars; i += 2) {
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return -1;
        out[i / 2] = (unsigned char)(hi << 4 | lo);
    }
    return (int)(chars / 2);
}

struct HexState {
    unsigned char *img;
    size_t cap;
    size_t extent;
    uint32_t offset;  // from the last type 02 or 04 record
};

// Checks and applies one record line; null, or the reason it is refused.
static const char *applyRecord(HexState *s, const char *line)
{
    size_t chars = strcspn(line, "\r\n");
    unsigned char rec[262];
    if (line[0] != ':')
        return "no start code";
    if (chars - 1 > 2 * sizeof rec)
        return "record too long";
    int n = decodeBytes(line + 1, chars - 1, rec);
    if (n < 5)
        return "malformed record";
    if (rec[0] + 5 != n)
        return "byte count does not match the record";
    unsigned sum = 0;
    for (int i = 0; i < n; ++i)
        sum += rec[i];
    if (sum & 0xFF)
        return "bad record checksum";
    unsigned count = rec[0], address = (unsigned)rec[1] << 8 | rec[2];
    const unsigned char *data = rec + 4;
    switch (rec[3]) {
    case 0: {
        uint64_t first = (uint64_t)s->offset + address;
        if (first + count > s->cap)
            return "data beyond the image";
        memcpy(s->img + first, data, count);
        if (count && first + count > s->extent)
            s->extent = (size_t)(first + count);
        return nullptr;
    }
    case 2:
    case 4:
        if (count != 2)
            return "address record must hold 2 bytes";
        s->offset = ((uint32_t)data[0] << 8 | data[1]) << (rec[3] == 2 ? 4 : 16);
        return nullptr;
    case 1:
    case 3:
    case 5:
        return nullptr;
    default:
        return "unsupported record type";
    }
}

int tolviReadHex(const char *path, unsigned char *img, size_t cap,
                 size_t *extent, char *err, size_t errsize)
{
    FILE *in = fopen(path, "re");
    if (!in) {
        snprintf(err, errsize, "%s: %s", path, strerror(errno));
        return -1;
    }
    HexState s = {img, cap, 0, 0};
    char line[1024];
    const char *why = nullptr;
    unsigned lineNo = 0;
    while (!why && fgets(line, sizeof line, in)) {
        ++lineNo;
        if (!strchr(line, '\n') && !feof(in))
            why = "line too long";
        else if (line[strspn(line, " \t\r\n")] != '\0')
            why = applyRecord(&s, line);
    }
    if (!why && ferror(in))
        why = strerror(errno);
    fclose(in);
    if (why) {
        snprintf(err, errsize, "%s:%u: %s", path, lineNo, why);
        return -1;
    }
    *extent = s.extent;
    return 0;
}
