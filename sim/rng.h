// The simulator's random numbers: splitmix64, small, fast and reproducible.
#pragma once
#include <cstdint>

struct Rng {
    uint64_t state; // advances by a constant on every draw
};
uint64_t rngNext(Rng *r);
// A draw in [0, 1).
double rngUnit(Rng *r);
// A draw in [0, n); n must not be 0.
inline uint32_t rngBelow(Rng *r, uint32_t n)
{
    return uint32_t(rngNext(r) % n);
}
