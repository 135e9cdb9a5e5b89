// A block's header and tables, everything before its coded symbols: read and checked in full, so that the
// block decoder takes only blocks the library would read without complaint.
#pragma once

#include <array>
#include <cstdint>

#include "bzip2/bit_reader.h"
#include "bzip2/huffman.h"

namespace catadump {

inline constexpr int maxGroups = 6;
// What a block of the largest size can need, and the library's limit.
inline constexpr int maxSelectors = 18002;

// What a block holds before its coded symbols.
struct BlockHeader {
    uint32_t storedCrc = 0;  // the check of the block's decoded bytes
    uint32_t origPtr = 0;    // where the inverse transform starts
    // The byte values that occur, in increasing order: the move-to-front list that the symbols start from.
    std::array<uint8_t, 256> used{};
    unsigned endOfBlock = 0;  // the symbol that ends the block, after the move-to-front indices
    int selectorCount = 0;
    std::array<uint8_t, maxSelectors> selectors;  // which table codes each group of 50 symbols
    std::array<HuffmanTable, maxGroups> tables;
};

// Reads the header from the block magic, where `bits` stands, to the first coded symbol, where it leaves
// `bits`; `endBit` is where the block ends. False when a field is out of range or unusual (a randomised
// block, no byte values, an incomplete or over-full code), or the tables run past the block's end.
bool readBlockHeader(BitReader& bits, uint64_t endBit, BlockHeader& header);

}  // namespace catadump
