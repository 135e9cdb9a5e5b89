// Building a block's Huffman tables from their code lengths: a primary lookup table for the short codes
// that make up nearly all of the symbols, and the canonical code's limits for the rest.
#include "bzip2/huffman.h"

namespace catadump {

bool buildTable(const uint8_t* lengths, int alphabet, HuffmanTable& table) {
    std::array<int, maxCodeLength + 1> counts{};
    for (int s = 0; s < alphabet; ++s) ++counts[lengths[s]];
    uint32_t space = 0;
    for (int len = 1; len <= maxCodeLength; ++len)
        space += static_cast<uint32_t>(counts[len]) << (maxCodeLength - len);
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

}  // namespace catadump
