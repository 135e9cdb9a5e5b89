// Reading a block's header: the magic, the stored check and origPtr, the map of the byte values that occur,
// the selectors and the code lengths of the Huffman tables, each checked against what the library allows.
#include "bzip2/block_header.h"

#include "bzip2/blocks.h"

namespace catadump {

bool readBlockHeader(BitReader& bits, uint64_t endBit, BlockHeader& header) {
    uint64_t magic = uint64_t{bits.take(24)} << 24;
    magic |= bits.take(24);
    if (magic != bzip2BlockMagic) return false;
    header.storedCrc = bits.take(32);
    if (bits.take(1) != 0) return false;  // randomised blocks: rare and old, the library handles them
    header.origPtr = bits.take(24);

    // The symbol map: which of the 256 byte values occur, in 16 groups of 16.
    std::array<uint8_t, 256>& used = header.used;
    int inUse = 0;
    uint32_t groupsUsed = bits.take(16);
    for (int g = 0; g < 16; ++g) {
        if ((groupsUsed >> (15 - g) & 1) == 0) continue;
        uint32_t map = bits.take(16);
        for (int k = 0; k < 16; ++k) {
            if (map >> (15 - k) & 1) used[static_cast<size_t>(inUse++)] = static_cast<uint8_t>(g * 16 + k);
        }
    }
    if (inUse == 0) return false;
    int alphabet = inUse + 2;
    header.endOfBlock = static_cast<unsigned>(inUse + 1);

    int groups = static_cast<int>(bits.take(3));
    if (groups < 2 || groups > maxGroups) return false;
    int selectorCount = static_cast<int>(bits.take(15));
    if (selectorCount < 1 || selectorCount > maxSelectors) return false;
    header.selectorCount = selectorCount;

    // Selectors, each a unary index into a move-to-front list of the tables.
    std::array<uint8_t, maxSelectors>& selectors = header.selectors;
    std::array<uint8_t, maxGroups> order = {0, 1, 2, 3, 4, 5};
    for (int i = 0; i < selectorCount; ++i) {
        bits.refill();
        int j = 0;
        while (bits.peek(1) != 0) {
            bits.skip(1);
            if (++j >= groups) return false;
        }
        bits.skip(1);
        uint8_t table = order[static_cast<size_t>(j)];
        for (; j > 0; --j) order[static_cast<size_t>(j)] = order[static_cast<size_t>(j - 1)];
        order[0] = table;
        selectors[static_cast<size_t>(i)] = table;
    }
    if (bits.position() > endBit) return false;

    // Code lengths, each the one before it plus or minus steps of one.
    std::array<HuffmanTable, maxGroups>& tables = header.tables;
    std::array<uint8_t, maxAlphabet> lengths;
    for (int t = 0; t < groups; ++t) {
        int current = static_cast<int>(bits.take(5));
        for (int s = 0; s < alphabet; ++s) {
            for (;;) {
                if (current < 1 || current > maxCodeLength) return false;
                if (bits.take(1) == 0) break;
                current += bits.take(1) == 0 ? 1 : -1;
                if (bits.position() > endBit) return false;
            }
            lengths[static_cast<size_t>(s)] = static_cast<uint8_t>(current);
        }
        if (!buildTable(lengths.data(), alphabet, tables[static_cast<size_t>(t)])) return false;
    }
    return true;
}

}  // namespace catadump
