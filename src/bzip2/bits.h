// Reading the bzip2 bit stream, most significant bit first: the big-endian loads that the block scan and
// the block decoder build on, and a field of up to 32 bits at any bit position. Also the word loads and
// stores in the machine's own byte order with which the block decoder moves bytes eight at a time.
#pragma once

#include <cstdint>
#include <cstring>

namespace catadump {

inline uint32_t loadBig32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// Written out byte by byte, which compilers turn into one load and a byte swap.
inline uint64_t loadBig64(const uint8_t* p) { return uint64_t{loadBig32(p)} << 32 | loadBig32(p + 4); }

// The `count` bits (1..32) from absolute bit `bit` of `bytes` on, as a number.
inline uint32_t bitsAt(const uint8_t* bytes, uint64_t bit, int count = 32) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i, ++bit) value = value << 1 | ((bytes[bit / 8] >> (7 - bit % 8)) & 1);
    return value;
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t value;
    std::memcpy(&value, p, 8);
    return value;
}

inline void store64(uint8_t* p, uint64_t value) { std::memcpy(p, &value, 8); }

}  // namespace catadump
