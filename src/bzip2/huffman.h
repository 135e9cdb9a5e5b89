// The Huffman codes of a bzip2 block: a table built from a code's lengths, and the decoding of one symbol,
// inline because the symbol loop calls it for every symbol of the block.
#pragma once

#include <array>
#include <cstdint>

#include "bzip2/bit_reader.h"

namespace catadump {

inline constexpr int maxAlphabet = 258;  // RUNA, RUNB, move-to-front indices 1..255 and the end of the block
inline constexpr int maxCodeLength = 20;
inline constexpr int fastBits = 10;  // bits the primary lookup table resolves

// A canonical prefix code: codes of one length are consecutive, shorter lengths first, and within a length
// in symbol order, as the library assigns them.
struct HuffmanTable {
    // (symbol << 5) | length for every 10-bit prefix that holds a whole code; 0 for longer codes.
    std::array<uint16_t, 1u << fastBits> fast;
    // For each length: one past the last code of that length, left-aligned to 20 bits.
    std::array<uint32_t, maxCodeLength + 2> limit;
    std::array<int, maxCodeLength + 1> firstIndex;  // index into `sorted` of the length's first code
    std::array<uint32_t, maxCodeLength + 1> firstCode;
    std::array<uint16_t, maxAlphabet> sorted;  // symbols by (length, symbol)
};

// The table of the code whose lengths (1..20) `lengths[0, alphabet)` gives. False unless the lengths make a
// complete code (every bit pattern starts exactly one code), which is what every encoder writes; anything
// else is left to the library.
bool buildTable(const uint8_t* lengths, int alphabet, HuffmanTable& table);

// The next symbol; the reader holds at least 20 valid bits.
inline unsigned decodeSymbol(const HuffmanTable& table, BitReader& bits) {
    uint16_t entry = table.fast[bits.peek(fastBits)];
    if (entry != 0) [[likely]] {
        bits.skip(entry & 31u);
        return entry >> 5;
    }
    uint32_t v = bits.peek(maxCodeLength);
    unsigned len = fastBits + 1;
    while (v >= table.limit[len]) ++len;  // ends: the code is complete, so some length holds v
    bits.skip(len);
    uint32_t code = v >> (maxCodeLength - len);
    return table.sorted[static_cast<size_t>(table.firstIndex[len]) + (code - table.firstCode[len])];
}

}  // namespace catadump
