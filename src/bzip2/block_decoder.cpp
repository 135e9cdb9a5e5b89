#include "bzip2/block_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "bzip2/bits.h"
#include "bzip2/blocks.h"

namespace catadump {

namespace {

constexpr int maxGroups = 6;
constexpr int maxAlphabet = 258;    // RUNA, RUNB, move-to-front indices 1..255 and the end of the block
constexpr int maxSelectors = 18002; // what a block of the largest size can need, and the library's limit
constexpr int maxCodeLength = 20;
constexpr int groupSize = 50;       // symbols coded with one table before the next selector
constexpr int fastBits = 10;        // bits the primary lookup table resolves
constexpr int maxRunSymbols = 21;   // the library refuses a run whose weight reaches 2^21

// ---- CRC ------------------------------------------------------------------------------------------------

struct CrcTables {
    uint32_t t[8][256];
};

constexpr CrcTables makeCrcTables() {
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04c11db7u : c << 1;
        tables.t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t prev = tables.t[k - 1][i];
            tables.t[k][i] = (prev << 8) ^ tables.t[0][prev >> 24];
        }
    }
    return tables;
}
constexpr CrcTables crcTables = makeCrcTables();

// ---- bits ------------------------------------------------------------------------------------------------

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

// ---- Huffman tables ------------------------------------------------------------------------------------

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

// False unless the lengths make a complete code (every bit pattern starts exactly one code), which is what
// every encoder writes; anything else is left to the library.
bool buildTable(const uint8_t* lengths, int alphabet, HuffmanTable& table) {
    std::array<int, maxCodeLength + 1> counts{};
    for (int s = 0; s < alphabet; ++s) ++counts[lengths[s]];
    uint32_t space = 0;
    for (int len = 1; len <= maxCodeLength; ++len) space += static_cast<uint32_t>(counts[len]) << (maxCodeLength - len);
    if (space != (uint32_t{1} << maxCodeLength)) return false;

    uint32_t code = 0;
    int index = 0;
    for (int len = 1; len <= maxCodeLength; ++len) {
        table.firstIndex[len] = index;
        table.firstCode[len] = code;
        code += static_cast<uint32_t>(counts[len]);
        index += counts[len];
        table.limit[len] = code << (maxCodeLength - len);
        code <<= 1;
    }
    table.limit[maxCodeLength + 1] = ~uint32_t{0};
    std::array<int, maxCodeLength + 1> fill = table.firstIndex;
    for (int s = 0; s < alphabet; ++s) table.sorted[fill[lengths[s]]++] = static_cast<uint16_t>(s);

    table.fast.fill(0);
    for (int len = 1; len <= fastBits; ++len) {
        for (int i = 0; i < counts[len]; ++i) {
            uint32_t c = table.firstCode[len] + static_cast<uint32_t>(i);
            auto entry = static_cast<uint16_t>(table.sorted[table.firstIndex[len] + i] << 5 | len);
            uint32_t from = c << (fastBits - len), to = (c + 1) << (fastBits - len);
            for (uint32_t k = from; k < to; ++k) table.fast[k] = entry;
        }
    }
    return true;
}

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

// ---- move-to-front ---------------------------------------------------------------------------------------

uint64_t lowBytes(size_t n) { return n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1; }

uint64_t load64(const uint8_t* p) {
    uint64_t value;
    std::memcpy(&value, p, 8);
    return value;
}

void store64(uint8_t* p, uint64_t value) { std::memcpy(p, &value, 8); }

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

// ---- the stages after the Huffman decoding ---------------------------------------------------------------

constexpr uint32_t chainStart = 0x80000000u;  // marks a link where one of the chains below begins
constexpr uint32_t linkMask = 0x007FFFFFu;  // the link in bits 8..30, below the mark
constexpr int chainCount = 48;

// The inverse transform follows a chain of links through the whole block, one cache miss per byte, each
// waiting for the one before. To keep many misses in flight it starts chains at several links at once,
// each running until it meets another's start, and then joins their pieces in the order they link up.
// Its bytes are exactly those of following the one chain from origPtr. False when the links do not form
// the single cycle a real block has.
bool inverseTransform(uint32_t* tt, uint32_t blockLength, uint32_t origPtr, Bzip2BlockScratch& scratch) {
    struct Chain {
        uint32_t start;  // the link where it began
        uint32_t entry;  // the entry it stands on
        int next = -1;   // the chain whose start it met
    };
    std::array<Chain, chainCount> chains;
    int count = 0;
    auto begin = [&](uint32_t link) {
        if (tt[link] & chainStart) return;
        tt[link] |= chainStart;
        chains[static_cast<size_t>(count++)] = {link, tt[link], -1};
    };
    begin((tt[origPtr] >> 8) & linkMask);
    for (int k = 1; k < chainCount; ++k) begin(static_cast<uint32_t>(uint64_t{blockLength} * static_cast<uint64_t>(k) / chainCount));

    if (scratch.pieces.size() < chainCount) scratch.pieces.resize(chainCount);
    std::array<int, chainCount> active;
    for (int c = 0; c < count; ++c) {
        active[static_cast<size_t>(c)] = c;
        scratch.pieces[static_cast<size_t>(c)].clear();
    }
    int running = count;
    uint64_t steps = 0;
    while (running > 0) {
        steps += static_cast<uint64_t>(running);
        if (steps > uint64_t{blockLength}) return false;  // a chain that never meets a start
        for (int a = 0; a < running;) {
            Chain& chain = chains[static_cast<size_t>(active[static_cast<size_t>(a)])];
            std::vector<uint8_t>& piece = scratch.pieces[static_cast<size_t>(active[static_cast<size_t>(a)])];
            piece.push_back(static_cast<uint8_t>(chain.entry));
            uint32_t link = (chain.entry >> 8) & linkMask;
            uint32_t entry = tt[link];
            chain.entry = entry;
            if (entry & chainStart) {
                for (int c = 0; c < count; ++c) {
                    if (chains[static_cast<size_t>(c)].start == link) chain.next = c;
                }
                active[static_cast<size_t>(a)] = active[static_cast<size_t>(--running)];
            } else {
                ++a;
            }
        }
    }
    for (int c = 0; c < count; ++c) tt[chains[static_cast<size_t>(c)].start] &= ~chainStart;

    // Join the pieces from the chain that began at the first byte; it must take in every chain once.
    size_t joined = 0;
    int c = 0;
    for (int visited = 0; visited < count; ++visited) {
        const std::vector<uint8_t>& piece = scratch.pieces[static_cast<size_t>(c)];
        if (joined + piece.size() > blockLength) return false;
        std::memcpy(scratch.text.data() + joined, piece.data(), piece.size());
        joined += piece.size();
        c = chains[static_cast<size_t>(c)].next;
        if (c < 0 || (c == 0) != (visited == count - 1)) return false;
    }
    return joined == blockLength;
}

// Where the next four equal bytes at or after `from` begin; `size` when there are none. Eight bytes are
// compared at a time, five starting places a word.
size_t findFourEqual(const uint8_t* text, size_t from, size_t size) {
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    size_t j = from;
    for (; j + 8 <= size; j += 5) {
        uint64_t w = load64(text + j);
        uint64_t d = w ^ (w >> 8);                           // byte m: text[j+m] ^ text[j+m+1], m < 7
        uint64_t zero = ~(((d & low7) + low7) | d) & ~low7;  // high bit of each zero byte of d
        uint64_t four = zero & (zero >> 8) & (zero >> 16) & 0x0000008080808080ull;
        if (four != 0) return j + static_cast<size_t>(std::countr_zero(four) / 8);
    }
    for (; j + 3 < size; ++j) {
        if (text[j] == text[j + 1] && text[j] == text[j + 2] && text[j] == text[j + 3]) return j;
    }
    return size;
}

// The initial run-length stage: four equal bytes are followed by a count of further copies. Walks the runs
// of the block, handing each literal stretch (ending with the run's four bytes) and each run's further
// copies to `take`. False when four equal bytes end the block without their count.
template <typename Take> bool walkRuns(const uint8_t* text, size_t size, Take&& take) {
    size_t i = 0;  // first byte of the literal stretch
    for (;;) {
        size_t found = findFourEqual(text, i, size);
        if (found == size) {
            take(text + i, size - i, uint8_t{0}, size_t{0});
            return true;
        }
        if (found + 4 >= size) return false;
        take(text + i, found + 4 - i, text[found], size_t{text[found + 4]});
        i = found + 5;
    }
}

} // namespace

bool measureBzip2Block(Bzip2BlockScratch& scratch, size_t& length) {
    uint32_t* tt = scratch.tt.data();
    const uint32_t blockLength = scratch.blockLength;
    // Links: the k-th occurrence of byte b in the sorted column points at the k-th b of the stored column.
    std::array<uint32_t, 256> next{};
    uint32_t sum = 0;
    for (int b = 0; b < 256; ++b) {
        next[b] = sum;
        sum += scratch.counts[b];
    }
    for (uint32_t i = 0; i < blockLength; ++i) {
        uint32_t b = tt[i] & 0xFF;
        tt[next[b]++] |= i << 8;
    }
    if (!inverseTransform(tt, blockLength, scratch.origPtr, scratch)) return false;
    size_t total = 0;
    bool complete = walkRuns(scratch.text.data(), blockLength,
                             [&](const uint8_t*, size_t literal, uint8_t, size_t copies) { total += literal + copies; });
    length = total;
    return complete;
}

bool finishBzip2Block(const Bzip2BlockScratch& scratch, uint8_t* output, size_t length) {
    size_t produced = 0;
    walkRuns(scratch.text.data(), scratch.blockLength, [&](const uint8_t* literal, size_t n, uint8_t b, size_t copies) {
        std::memcpy(output + produced, literal, n);
        std::memset(output + produced + n, b, copies);
        produced += n + copies;
    });
    return produced == length && ~updateBzip2Crc(0xFFFFFFFFu, output, length) == scratch.storedCrc;
}

namespace {

// The coded symbols: move-to-front indices, with runs of the front byte written in RUNA/RUNB digits, 50 to
// a selector. Leaves the block's bytes in the low byte of tt[0, blockLength) and their counts in `counts`.
bool decodeSymbols(BitReader& bits, const HuffmanTable* tables, const uint8_t* selectors, int selectorCount,
                   uint64_t endBit, const uint8_t* used, unsigned endOfBlock, uint32_t maxLength, uint32_t* tt,
                   uint32_t* counts, uint32_t& blockLength) {
    std::array<uint8_t, 256> mtf;
    std::memcpy(mtf.data(), used, 256);
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
            if (symbol == endOfBlock) return true;
            if (blockLength >= maxLength) return false;
            uint8_t b = moveToFront(mtf.data(), symbol - 1);
            ++counts[b];
            tt[blockLength++] = b;
        }
    }
}

} // namespace

uint32_t updateBzip2Crc(uint32_t crc, const uint8_t* bytes, size_t size) {
    const auto& t = crcTables.t;
    while (size >= 8) {
        uint32_t a = crc ^ loadBig32(bytes);
        uint32_t b = loadBig32(bytes + 4);
        crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
              t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
        bytes += 8;
        size -= 8;
    }
    while (size-- > 0) crc = (crc << 8) ^ t[0][(crc >> 24) ^ *bytes++];
    return crc;
}

bool decodeBzip2Symbols(const uint8_t* bytes, size_t size, uint64_t beginBit, uint64_t endBit, int level,
                        Bzip2BlockScratch& scratch) {
    scratch.blockLength = 0;
    if (level < 1 || level > 9 || beginBit >= endBit || endBit > uint64_t{size} * 8) return false;
    // Magic, CRC, randomised bit, origPtr, the 16-bit map: the smallest possible block is far longer.
    if (endBit - beginBit < 48 + 32 + 1 + 24 + 16 + 16 + 3 + 15) return false;
    BitReader bits{bytes, static_cast<size_t>(beginBit / 8), size};
    bits.refill();
    bits.skip(static_cast<unsigned>(beginBit % 8));

    uint64_t magic = uint64_t{bits.take(24)} << 24;
    magic |= bits.take(24);
    if (magic != bzip2BlockMagic) return false;
    uint32_t storedCrc = bits.take(32);
    if (bits.take(1) != 0) return false;  // randomised blocks: rare and old, the library handles them
    uint32_t origPtr = bits.take(24);

    // The symbol map: which of the 256 byte values occur, in 16 groups of 16.
    std::array<uint8_t, 256> used{};
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
    auto endOfBlock = static_cast<unsigned>(inUse + 1);

    int groups = static_cast<int>(bits.take(3));
    if (groups < 2 || groups > maxGroups) return false;
    int selectorCount = static_cast<int>(bits.take(15));
    if (selectorCount < 1 || selectorCount > maxSelectors) return false;

    // Selectors, each a unary index into a move-to-front list of the tables.
    std::array<uint8_t, maxSelectors> selectors;
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
    std::array<HuffmanTable, maxGroups> tables;
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

    // The coded symbols: move-to-front indices, with runs of the front byte written in RUNA/RUNB digits.
    const uint32_t maxLength = static_cast<uint32_t>(level) * 100000;
    if (scratch.tt.size() < maxLength) scratch.tt.resize(maxLength);
    uint32_t* tt = scratch.tt.data();
    scratch.counts.fill(0);
    uint32_t blockLength = 0;
    if (!decodeSymbols(bits, tables.data(), selectors.data(), selectorCount, endBit, used.data(), endOfBlock,
                       maxLength, tt, scratch.counts.data(), blockLength)) {
        return false;
    }
    if (bits.position() != endBit) return false;  // the coded data must end where the next magic begins
    if (origPtr >= blockLength) return false;
    if (scratch.text.size() < blockLength) scratch.text.resize(blockLength);
    scratch.blockLength = blockLength;
    scratch.origPtr = origPtr;
    scratch.storedCrc = storedCrc;
    return true;
}

bool decodeBzip2Block(const uint8_t* bytes, size_t size, uint64_t beginBit, uint64_t endBit, int level,
                      Bzip2BlockScratch& scratch, std::vector<uint8_t>& output, size_t& length) {
    length = 0;
    size_t measured = 0;
    if (!decodeBzip2Symbols(bytes, size, beginBit, endBit, level, scratch)) return false;
    if (!measureBzip2Block(scratch, measured)) return false;
    if (output.size() < measured) output.resize(measured);
    if (!finishBzip2Block(scratch, output.data(), measured)) return false;
    length = measured;
    return true;
}

} // namespace catadump
