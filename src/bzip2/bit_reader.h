// The block decoder's reader of the bit stream, inline: the Huffman decoding calls it for every symbol.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bzip2/bits.h"

namespace catadump {

// Bits most significant first, held left-aligned in a 64-bit word that is refilled with big-endian loads.
// Past the end of the bytes it reads zeroes; the caller checks positions against the block's end.
struct BitReader {
    const uint8_t* bytes;
    size_t next;  // first byte not yet in `buffer`; may run past `size`, where the bytes read as zeroes
    size_t size;
    uint64_t buffer = 0;
    unsigned count = 0;  // valid bits at the top of `buffer`

    // At least 56 valid bits afterwards.
    void refill() {
        if (next + 8 <= size) [[likely]] {
            buffer |= loadBig64(bytes + next) >> count;
            next += (63 - count) >> 3;
            count |= 56;
            return;
        }
        refillNearTheEnd();
    }
    void refillNearTheEnd() {
        while (count <= 56) {
            uint64_t byte = next < size ? bytes[next] : 0;
            ++next;
            buffer |= byte << (56 - count);
            count += 8;
        }
    }
    uint32_t peek(unsigned n) const { return static_cast<uint32_t>(buffer >> (64 - n)); }
    void skip(unsigned n) {
        buffer <<= n;
        count -= n;
    }
    uint32_t take(unsigned n) {  // 1..32 bits
        if (count < n) refill();
        uint32_t value = peek(n);
        skip(n);
        return value;
    }
    uint64_t position() const { return uint64_t{next} * 8 - count; }
};

}  // namespace catadump
