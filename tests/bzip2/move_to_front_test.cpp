// The move-to-front list of the symbol loop: the portable step and the vector one (where the processor has
// it) must each give the byte at the index and leave the list as taking it out and putting it in front does,
// for indices on and around the edges of the vector's lines and for the lines a block's alphabet needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bzip2/move_to_front.h"

namespace catadump::test {
namespace {

TEST(Bzip2MoveToFront, EveryStepMovesTheIndexedByteToTheFront) {
    std::vector<size_t> edges;
    for (size_t line = 0; line < 8; ++line) {
        for (size_t index : {line * 32 + 1, line * 32 + 15, line * 32 + 16, line * 32 + 31, line * 32 + 32}) {
            if (index <= 255) edges.push_back(index);
        }
    }
    std::mt19937 random(11);
    auto randomIndices = [&](size_t alphabet) {
        std::vector<size_t> indices(20000);
        for (size_t& index : indices) index = 1 + random() % (alphabet - 1);
        return indices;
    };
    struct Row {
        std::string name;
        size_t alphabet;  // the block's byte values: every index is below it
        std::vector<size_t> indices;
    } rows[] = {
        {"the edges of the lines", 256, edges},
        {"the last index over and over", 256, std::vector<size_t>(300, 255)},
        {"random over the whole list", 256, randomIndices(256)},
        {"random within one line", 32, randomIndices(32)},
        {"random within an alphabet of 40", 40, randomIndices(40)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MoveToFrontList expected, portable;
        for (int i = 0; i < 256; ++i) expected.bytes[i] = static_cast<uint8_t>(255 - i);
        portable = expected;
#if defined(CATADUMP_AVX2_MOVE_TO_FRONT)
        MoveToFrontList vector = expected;
        const size_t lines = (row.alphabet + listLineBytes - 1) / listLineBytes;
#endif
        for (size_t step = 0; step < row.indices.size(); ++step) {
            size_t index = row.indices[step];
            uint8_t b = expected.bytes[index];
            std::rotate(expected.bytes, expected.bytes + index, expected.bytes + index + 1);
            ASSERT_EQ(moveToFront(portable.bytes, index), b) << "step " << step;
            ASSERT_TRUE(std::equal(portable.bytes, portable.bytes + 256, expected.bytes)) << "step " << step;
#if defined(CATADUMP_AVX2_MOVE_TO_FRONT)
            if (!hasVectorMoveToFront()) continue;
            ASSERT_EQ(moveToFrontVector(vector.bytes, index, lines), b) << "step " << step;
            ASSERT_TRUE(std::equal(vector.bytes, vector.bytes + 256, expected.bytes)) << "step " << step;
#endif
        }
    }
}

}  // namespace
}  // namespace catadump::test
