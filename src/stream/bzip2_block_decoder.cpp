#include "stream/bzip2_block_decoder.h"

#include <array>
#include <cstring>

#include "stream/bzip2_blocks.h"

namespace catadump {

namespace {

constexpr int maxGroups = 6;
constexpr int maxAlphabet = 258;    // 256 byte values, RUNA and RUNB share two slots with EOB on top
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

uint32_t loadBig32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint64_t loadBig64(const uint8_t* p) {
    uint64_t value;
    std::memcpy(&value, p, 8);
    return __builtin_bswap64(value);
}

// ---- bits ------------------------------------------------------------------------------------------------

// Bits most significant first, held left-aligned in a 64-bit word that is refilled with big-endian loads.
// Past the end of the bytes it reads zeroes; the caller checks positions against the block's end.
struct BitReader {
    const uint8_t* begin;
    const uint8_t* next;  // first byte not yet in `buffer`
    const uint8_t* end;
    uint64_t buffer = 0;
    unsigned count = 0;   // valid bits at the top of `buffer`

    // At least 56 valid bits afterwards.
    void refill() {
        if (next + 8 <= end) [[likely]] {
            buffer |= loadBig64(next) >> count;
            next += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56) {
            uint64_t byte = next < end ? *next : 0;
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
    uint64_t position() const { return static_cast<uint64_t>(next - begin) * 8 - count; }
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

// ---- the stages after the Huffman decoding ---------------------------------------------------------------

// The inverse transform, the initial run-length stage and the CRC. False on a run-length count with no byte
// left for it, or a CRC mismatch.
bool finishBlock(uint32_t* tt, uint32_t blockLength, uint32_t origPtr, const uint32_t* counts,
                 uint32_t storedCrc, std::vector<uint8_t>& output, size_t& length) {
    // Links: the k-th occurrence of byte b in the sorted column points at the k-th b of the stored column.
    std::array<uint32_t, 256> next{};
    uint32_t sum = 0;
    for (int b = 0; b < 256; ++b) {
        next[b] = sum;
        sum += counts[b];
    }
    for (uint32_t i = 0; i < blockLength; ++i) {
        uint32_t b = tt[i] & 0xFF;
        tt[next[b]++] |= i << 8;
    }

    if (output.size() < blockLength + 4096) output.resize(blockLength + blockLength / 4 + 4096);
    uint8_t* out = output.data();
    size_t room = output.size();
    size_t produced = 0;
    uint32_t pos = tt[origPtr] >> 8;
    uint32_t last = 256;  // no byte
    int run = 0;          // equal bytes seen in a row, up to 4; then the next byte is a count
    for (uint32_t i = 0; i < blockLength; ++i) {
        uint32_t entry = tt[pos];
        pos = entry >> 8;
        uint32_t b = entry & 0xFF;
        if (produced + 256 > room) [[unlikely]] {
            output.resize(output.size() * 2);
            out = output.data();
            room = output.size();
        }
        if (run == 4) {
            std::memset(out + produced, static_cast<int>(last), b);
            produced += b;
            run = 0;
            continue;
        }
        run = b == last ? run + 1 : 1;
        last = b;
        out[produced++] = static_cast<uint8_t>(b);
    }
    if (run == 4) return false;  // four equal bytes end the block without their count
    length = produced;
    return ~updateBzip2Crc(0xFFFFFFFFu, out, produced) == storedCrc;
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

bool decodeBzip2Block(const uint8_t* bytes, size_t size, uint64_t beginBit, uint64_t endBit, int level,
                      Bzip2BlockScratch& scratch, std::vector<uint8_t>& output, size_t& length) {
    length = 0;
    if (level < 1 || level > 9 || beginBit >= endBit || endBit > uint64_t{size} * 8) return false;
    // Magic, CRC, randomised bit, origPtr, the 16-bit map: the smallest possible block is far longer.
    if (endBit - beginBit < 48 + 32 + 1 + 24 + 16 + 16 + 3 + 15) return false;
    BitReader bits{bytes, bytes + beginBit / 8, bytes + size};
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
    std::array<uint32_t, 256> counts{};
    std::array<uint8_t, 256> mtf;
    std::memcpy(mtf.data(), used.data(), 256);
    uint32_t blockLength = 0;
    uint32_t runLength = 0;
    int runSymbols = 0;
    int selector = 0;
    for (;;) {
        if (selector >= selectorCount || bits.position() > endBit) return false;
        const HuffmanTable& table = tables[selectors[static_cast<size_t>(selector++)]];
        bool ended = false;
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
                ended = true;
                break;
            }
            if (blockLength >= maxLength) return false;
            size_t index = symbol - 1;
            uint8_t b = mtf[index];
            std::memmove(mtf.data() + 1, mtf.data(), index);
            mtf[0] = b;
            ++counts[b];
            tt[blockLength++] = b;
        }
        if (ended) break;
    }
    if (bits.position() != endBit) return false;  // the coded data must end where the next magic begins
    if (origPtr >= blockLength) return false;
    return finishBlock(tt, blockLength, origPtr, counts.data(), storedCrc, output, length);
}

} // namespace catadump
