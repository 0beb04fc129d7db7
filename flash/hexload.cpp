// HEX loader: reads an Intel HEX image file into the image buffer.
#include "hexload.h"

#include <cstring>

#include "blocks.h"

uint8_t g_imageBuf[kImageSize];
uint8_t g_chunkFilled[kImageChunks];
int64_t g_imageBytes;
uint64_t g_imageMinAddress;
uint64_t g_imageMaxAddress;

static uint64_t addressOffset;  // added to every data record address (types 2 and 4)

// Record types.
constexpr int REC_DATA = 0;
constexpr int REC_EOF = 1;
constexpr int REC_SEGMENT = 2;
constexpr int REC_START_SEGMENT = 3;
constexpr int REC_LINEAR = 4;
constexpr int REC_START_LINEAR = 5;

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

int extract(const char *line, int first, int last)
{
    unsigned value = 0;
    for (int i = first; i <= last; i++) {
        int d = hexDigit(line[i]);
        value = value * 16 + (unsigned)(d < 0 ? 0 : d);
    }
    return (int)value;
}

static int malformed(int lineNo, const char *why)
{
    printf("ERROR - malformed record on line %d (%s)\n", lineNo, why);
    return LOAD_BAD;
}

// A record's bytes, decoded once: count, address (2), type, data, checksum.
constexpr int kRecordHead = 4;  // bytes before the data
constexpr int kMaxRecordBytes = kRecordHead + kMaxRecordData + 1;

static unsigned be16(const uint8_t *p)
{
    return (unsigned)p[0] << 8 | p[1];
}

// Checks the shape and checksum of a record line of len characters and
// decodes its bytes into rec.
static int checkRecord(const char *line, size_t len, int lineNo, uint8_t *rec)
{
    if (line[0] != ':')
        return malformed(lineNo, "no start code");
    for (size_t i = 1; i < len; i++)
        if (hexDigit(line[i]) < 0)
            return malformed(lineNo, "not a hex digit");
    if (len % 2 == 0)
        return malformed(lineNo, "odd number of digits");
    if (len < 11 || len != 11 + 2 * (size_t)extract(line, 1, 2))
        return malformed(lineNo, "byte count does not match the line");
    unsigned sum = 0;
    for (size_t i = 1, n = 0; i < len; i += 2, n++) {
        rec[n] = (uint8_t)extract(line, (int)i, (int)i + 1);
        sum += rec[n];
    }
    if (sum % 256 != 0) {
        printf("ERROR - bad checksum on line %d\n", lineNo);
        return LOAD_BAD;
    }
    return LOAD_OK;
}

static int storeData(const uint8_t *data, int count, uint64_t address)
{
    if (count == 0)
        return LOAD_OK;
    g_imageBytes += count;
    uint64_t last = address + (uint64_t)count - 1;
    if (address < g_imageMinAddress)
        g_imageMinAddress = address;
    if (last > g_imageMaxAddress)
        g_imageMaxAddress = last;
    if (last > kImageSize - 1) {
        printf("ERROR - address out of range\n");
        return LOAD_RANGE;
    }
    memcpy(g_imageBuf + address, data, (size_t)count);
    memset(g_chunkFilled + address / 256, 1, last / 256 - address / 256 + 1);
    return LOAD_OK;
}

// Handles one record line (line end removed).
static int parseRecord(const char *line, size_t len, int lineNo)
{
    uint8_t rec[kMaxRecordBytes];
    int rc = checkRecord(line, len, lineNo, rec);
    if (rc != LOAD_OK)
        return rc;
    int count = rec[0];
    int type = rec[3];
    const uint8_t *data = rec + kRecordHead;
    if ((type == REC_SEGMENT || type == REC_LINEAR) && count != 2)
        return malformed(lineNo, "byte count does not match the record type");
    switch (type) {
    case REC_DATA:
        return storeData(data, count, (uint64_t)be16(rec + 1) + addressOffset);
    case REC_SEGMENT:
        addressOffset = (uint64_t)be16(data) * 16;
        break;
    case REC_LINEAR:
        addressOffset = (uint64_t)be16(data) * 65536;
        break;
    case REC_EOF:
    case REC_START_SEGMENT:
    case REC_START_LINEAR:
        break;
    default:
        printf("ERROR - unsupported record type\n");
        break;
    }
    return LOAD_OK;
}

// Reads one line into buf (at most size - 1 characters kept, line end and
// trailing blanks removed). Returns its length, size when it was longer,
// or -1 at the end of the file.
static long readLine(FILE *f, char *buf, size_t size)
{
    size_t len = 0;
    int c;
    int any = 0;
    while ((c = getc(f)) != EOF && c != '\n') {
        any = 1;
        if (len < size)
            buf[len] = (char)c;
        len++;
    }
    if (!any && c == EOF)
        return -1;
    if (len >= size)
        return (long)size;
    while (len > 0 && (buf[len - 1] == '\r' || buf[len - 1] == ' ' || buf[len - 1] == '\t'))
        len--;
    buf[len] = '\0';
    return (long)len;
}

static void resetImage()
{
    memset(g_imageBuf, 0xFF, sizeof g_imageBuf);
    memset(g_chunkFilled, 0, sizeof g_chunkFilled);
    addressOffset = 0;
    g_imageBytes = 0;
    g_imageMinAddress = kImageSize - 1;
    g_imageMaxAddress = 0;
}

int loadImageStream(FILE *f)
{
    resetImage();
    char line[kMaxRecordLine + 8];
    int lineNo = 0;
    long len;
    while ((len = readLine(f, line, sizeof line)) >= 0) {
        lineNo++;
        if (len == (long)sizeof line)
            return malformed(lineNo, "line too long");
        if (len == 0)
            continue;
        int rc = parseRecord(line, (size_t)len, lineNo);
        if (rc != LOAD_OK)
            return rc;
    }
    if (ferror(f)) {
        printf("ERROR - could not read file (line %d)\n", lineNo + 1);
        return LOAD_BAD;
    }
    return LOAD_OK;
}

static void printSummary(const char *fileName)
{
    printf("File\t\t\t%s\n", fileName);
    printf("Start Address\t\t0x%08X\n", le32(g_imageBuf + kHdrStart));
    printf("Checksum\t\t0x%08X\n", le32(g_imageBuf + kHdrChecksum));
    printf("FLASH minAddress\t0x%08llX\n", (unsigned long long)g_imageMinAddress);
    printf("FLASH maxAddress\t0x%08llX\n", (unsigned long long)g_imageMaxAddress);
    printf("FLASH used\t\t%5lli bytes\n", (long long)g_imageBytes);
}

int loadImage(const char *fileName)
{
    printf("File to open is %s\n", fileName);
    FILE *f = fopen(fileName, "r");
    if (!f) {
        printf("ERROR - could not open file\n");
        return LOAD_NO_FILE;
    }
    int rc = loadImageStream(f);
    fclose(f);
    if (rc == LOAD_OK)
        printSummary(fileName);
    return rc;
}
