// The symbol loop, where the block decoder spends most of its time: Huffman symbols, 50 to a selector, that
// are move-to-front indices, with runs of the front byte written in RUNA/RUNB digits.
#include "bzip2/symbols.h"

#include <array>
#include <bit>
#include <cstring>

#include "bzip2/bits.h"
#include "bzip2/huffman.h"

namespace catadump {

namespace {

constexpr int groupSize = 50;      // symbols coded with one table before the next selector
constexpr int maxRunSymbols = 21;  // the library refuses a run whose weight reaches 2^21

uint64_t lowBytes(size_t n) { return n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1; }

// Takes the byte at `index` (1..255) out of the list and puts it in front, moving the bytes before it back
// one place. The first 16 bytes are always written as two words, which the next call reads back at once
// from the store buffer; most indices are small and touch nothing else.
inline uint8_t moveToFront(uint8_t* list, size_t index) {
    if constexpr (std::endian::native != std::endian::little) {
        uint8_t b = list[index];
        std::memmove(list + 1, list, index);
        list[0] = b;
        return b;
    }
    uint8_t b = list[index];
    uint64_t w0 = load64(list), w1 = load64(list + 8);
    // list[0] is the low byte of w0, so shifting a word left by a byte moves each of its bytes back one.
    uint64_t n0 = w0 << 8 | b;
    uint64_t n1 = w1 << 8 | w0 >> 56;
    if (index < 8) {
        uint64_t keep = lowBytes(index + 1);
        store64(list, (n0 & keep) | (w0 & ~keep));
        return b;
    }
    if (index < 16) {
        uint64_t keep = lowBytes(index - 7);
        store64(list, n0);
        store64(list + 8, (n1 & keep) | (w1 & ~keep));
        return b;
    }
    // list[15 .. index) moves to list[16 .. index]; the library's copy is the fastest for the longer moves.
    std::memmove(list + 16, list + 15, index - 15);
    store64(list, n0);
    store64(list + 8, n1);
    return b;
}

}  // namespace

bool decodeSymbols(BitReader& reader, const BlockHeader& header, uint64_t endBit, BlockSymbols& symbols) {
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

    std::array<uint8_t, 256> mtf;
    std::memcpy(mtf.data(), header.used.data(), 256);
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
                uint8_t b = mtf[0];
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
            uint8_t b = moveToFront(mtf.data(), symbol - 1);
            ++counts[b];
            tt[blockLength++] = b;
        }
    }
}

}  // namespace catadump
