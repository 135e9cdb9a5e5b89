// The symbol loop, where the block decoder spends most of its time: Huffman symbols, 50 to a selector, that
// are move-to-front indices, with runs of the front byte written in RUNA/RUNB digits.
#include "bzip2/symbols.h"

#include <cstring>

#include "bzip2/bits.h"
#include "bzip2/huffman.h"
#include "bzip2/move_to_front.h"

namespace catadump {

namespace {

constexpr int groupSize = 50;      // symbols coded with one table before the next selector
constexpr int maxRunSymbols = 21;  // the library refuses a run whose weight reaches 2^21

// The symbol loop, with the move-to-front list of the vector version or the portable one.
template <bool vector>
bool symbolLoop(BitReader& reader, const BlockHeader& header, uint64_t endBit, BlockSymbols& symbols) {
    // The loop works on copies held in locals, which the compiler keeps in registers: through the records,
    // every store into tt could change them as far as it knows.
    BitReader bits = reader;
    const HuffmanTable* tables = header.tables.data();
    const uint8_t* selectors = header.selectors.data();
    const int selectorCount = header.selectorCount;
    const unsigned endOfBlock = header.endOfBlock;
    const uint32_t maxLength = symbols.maxLength;
    uint32_t* tt = symbols.tt;
    uint32_t* counts = symbols.counts;
    uint32_t blockLength = 0;

    MoveToFrontList mtf;
    std::memcpy(mtf.bytes, header.used.data(), 256);
    // Lines of the list that an index can reach: the block's byte values are the first of it.
    [[maybe_unused]] const size_t lines = (endOfBlock - 1 + listLineBytes - 1) / listLineBytes;
    uint32_t runLength = 0;
    int runSymbols = 0;
    int selector = 0;
    for (;;) {
        if (selector >= selectorCount || bits.position() > endBit) return false;
        const HuffmanTable& table = tables[selectors[selector++]];
        for (int k = 0; k < groupSize; ++k) {
            if (bits.count < maxCodeLength) bits.refill();
            unsigned symbol = decodeSymbol(table, bits);
            if (symbol <= 1) {  // RUNA adds 1, RUNB 2, times the digit's weight
                if (runSymbols == maxRunSymbols) return false;
                runLength += (symbol + 1) << runSymbols++;
                continue;
            }
            if (runSymbols != 0) {
                if (runLength > maxLength - blockLength) return false;
                uint8_t b = mtf.bytes[0];
                counts[b] += runLength;
                uint32_t* to = tt + blockLength;
                for (uint32_t r = 0; r < runLength; ++r) to[r] = b;
                blockLength += runLength;
                runLength = 0;
                runSymbols = 0;
            }
            if (symbol == endOfBlock) {
                reader = bits;
                symbols.length = blockLength;
                return true;
            }
            if (blockLength >= maxLength) return false;
            uint8_t b;
#if defined(CATADUMP_AVX2_MOVE_TO_FRONT)
            if constexpr (vector) {
                b = moveToFrontVector(mtf.bytes, symbol - 1, lines);
            } else {
                b = moveToFront(mtf.bytes, symbol - 1);
            }
#else
            b = moveToFront(mtf.bytes, symbol - 1);
#endif
            ++counts[b];
            tt[blockLength++] = b;
        }
    }
}

#if defined(CATADUMP_AVX2_MOVE_TO_FRONT)
// The loop compiled for AVX2, everything it calls inlined into it.
[[gnu::target("avx2"), gnu::flatten]] bool decodeSymbolsVector(BitReader& reader, const BlockHeader& header,
                                                               uint64_t endBit, BlockSymbols& symbols) {
    return symbolLoop<true>(reader, header, endBit, symbols);
}
#endif

}  // namespace

bool decodeSymbols(BitReader& reader, const BlockHeader& header, uint64_t endBit, BlockSymbols& symbols) {
#if defined(CATADUMP_AVX2_MOVE_TO_FRONT)
    static const bool vector = hasVectorMoveToFront();
    if (vector) return decodeSymbolsVector(reader, header, endBit, symbols);
#endif
    return symbolLoop<false>(reader, header, endBit, symbols);
}

}  // namespace catadump
