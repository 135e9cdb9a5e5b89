// A small seeded generator (splitmix64). The synthetic trees must come out byte-identical for a seed on
// every platform, so nothing here relies on the standard library's distributions, whose results differ
// between implementations.
#pragma once

#include <cstdint>

namespace catagen {

struct Rng {
    uint64_t state = 0;
};

inline uint64_t nextU64(Rng& rng) {
    uint64_t z = (rng.state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Mixes two values into one seed, so that (seed, folder index) gives each folder its own stream.
inline uint64_t mixSeed(uint64_t a, uint64_t b) {
    Rng rng{a ^ (b * 0xD1B54A32D192ED03ull)};
    return nextU64(rng);
}

// Uniform in [0, n); n == 0 gives 0. The bias of the plain modulo is irrelevant for test data.
inline uint64_t below(Rng& rng, uint64_t n) { return n == 0 ? 0 : nextU64(rng) % n; }

inline uint64_t between(Rng& rng, uint64_t low, uint64_t high) { return low + below(rng, high - low + 1); }

// True with probability num/den.
inline bool chance(Rng& rng, uint64_t num, uint64_t den) { return below(rng, den) < num; }

}  // namespace catagen
