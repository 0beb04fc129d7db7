// Writing wire formats: bytes appended in an explicit byte order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void put8(Bytes *b, uint8_t v)
{
    b->push_back(v);
}

inline void putBe16(Bytes *b, uint16_t v)
{
    b->push_back(uint8_t(v >> 8));
    b->push_back(uint8_t(v));
}

inline void putLe16(Bytes *b, uint16_t v)
{
    b->push_back(uint8_t(v));
    b->push_back(uint8_t(v >> 8));
}

inline void putLe32(Bytes *b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b->push_back(uint8_t(v >> (8 * i)));
}

inline void putBytes(Bytes *b, const void *data, size_t n)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    b->insert(b->end(), p, p + n);
}

// Overwrites a big-endian 16-bit field already in place.
inline void setBe16(Bytes *b, size_t at, uint16_t v)
{
    (*b)[at] = uint8_t(v >> 8);
    (*b)[at + 1] = uint8_t(v);
}
