// The block decoder's Huffman tables: only a complete code is taken (an incomplete one would let the symbol
// decoding run past the longest length), and a table gives back every symbol from its canonical code, both
// the short codes of the primary lookup and the long ones past it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bzip2/bit_reader.h"
#include "bzip2/huffman.h"

namespace catadump::test {
namespace {

// Lengths 1, 2, ..., last, and `last` once more: complete; without the repeat, one code short.
std::vector<uint8_t> chain(int last, bool complete) {
    std::vector<uint8_t> lengths;
    for (int len = 1; len <= last; ++len) lengths.push_back(static_cast<uint8_t>(len));
    if (complete) lengths.push_back(static_cast<uint8_t>(last));
    return lengths;
}

// The symbols' canonical codes one after the other, most significant bit first: within a length, codes go
// in symbol order, and each length's first code follows the last of the length before, doubled.
std::vector<uint8_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
    std::vector<uint32_t> codes(lengths.size());
    uint32_t code = 0;
    for (int len = 1; len <= maxCodeLength; ++len, code <<= 1) {
        for (size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s] == len) codes[s] = code++;
        }
    }
    std::vector<uint8_t> bytes;
    uint64_t bit = 0;
    for (size_t s = 0; s < lengths.size(); ++s) {
        for (int i = lengths[s] - 1; i >= 0; --i, ++bit) {
            if (bit % 8 == 0) bytes.push_back(0);
            bytes.back() = static_cast<uint8_t>(bytes.back() | ((codes[s] >> i) & 1) << (7 - bit % 8));
        }
    }
    return bytes;
}

TEST(Bzip2HuffmanTable, TakesCompleteCodesOnlyAndDecodesEverySymbol) {
    std::vector<uint8_t> wide(254, 8);  // the largest alphabet: 254 codes of 8 bits and 4 of 9
    wide.insert(wide.end(), 4, 9);
    struct Row {
        std::string name;
        std::vector<uint8_t> lengths;
        bool complete;
    } rows[] = {
        {"two codes of one bit", {1, 1}, true},
        {"lengths out of symbol order", {3, 1, 3, 2}, true},
        {"a chain to the longest length", chain(maxCodeLength, true), true},
        {"the largest alphabet", wide, true},
        {"a quarter of the codes unused", {2, 2, 2}, false},
        {"a chain one longest code short", chain(maxCodeLength, false), false},
        {"one code too many", {1, 1, 2}, false},
        {"over-full at the longest length",
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 20, 20},
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        HuffmanTable table;
        ASSERT_EQ(buildTable(row.lengths.data(), static_cast<int>(row.lengths.size()), table), row.complete);
        if (!row.complete) continue;
        std::vector<uint8_t> bytes = canonicalCodes(row.lengths);
        BitReader bits{bytes.data(), 0, bytes.size()};
        for (size_t s = 0; s < row.lengths.size(); ++s) {
            if (bits.count < maxCodeLength) bits.refill();
            EXPECT_EQ(decodeSymbol(table, bits), s);
        }
    }
}

}  // namespace
}  // namespace catadump::test
