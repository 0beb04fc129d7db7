// Encoding of the monitor record header for both layouts.
#include "record.h"

static void putLe(uint8_t *p, uint64_t v, size_t width)
{
    for (size_t i = 0; i < width; i++)
        p[i] = uint8_t(v >> (8 * i));
}

static uint64_t getLe(const uint8_t *p, size_t width)
{
    uint64_t v = 0;
    for (size_t i = 0; i < width; i++)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

const RecordLayout *layoutFor(int bits)
{
    if (bits == 32)
        return &kLayout32;
    if (bits == 64)
        return &kLayout64;
    return nullptr;
}

void encodeHeader(const RecordLayout &lay, const RecordHeader &h, uint8_t *out)
{
    for (size_t i = 0; i < lay.headerSize; i++)
        out[i] = 0;
    out[lay.dirOff] = h.direction;
    putLe(out + lay.seqOff, h.seq, 4);
    putLe(out + lay.tsOff, h.timeStamp, lay.tsWidth);
    putLe(out + lay.lenOff, h.length, 4);
}

bool decodeHeader(const RecordLayout &lay, const uint8_t *in, size_t n, RecordHeader *h)
{
    if (n < lay.headerSize)
        return false;
    h->direction = in[lay.dirOff];
    h->seq = uint32_t(getLe(in + lay.seqOff, 4));
    h->timeStamp = getLe(in + lay.tsOff, lay.tsWidth);
    h->length = uint32_t(getLe(in + lay.lenOff, 4));
    return true;
}

uint64_t frameHash(const uint8_t *data, size_t n)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < n; i++) {
        h ^= data[i];
        h *= 0x100000001b3ull;
    }
    return h;
}
