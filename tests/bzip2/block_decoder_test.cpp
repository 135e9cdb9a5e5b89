// Our block decoder against the library, block by block: on streams the library wrote, ours must take every
// block and give the library's bytes; on damaged streams, ours must never take a block the library refuses,
// and where both take one they must agree.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bzip2/block_decoder.h"
#include "bzip2/blocks.h"
#include "bzip2/crc.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

struct BlockVerdict {
    bool accepted = false;
    std::vector<uint8_t> bytes;
};

BlockVerdict ours(const std::string& packed, uint64_t begin, uint64_t end, int level) {
    Bzip2BlockScratch scratch;
    BlockVerdict verdict;
    size_t length = 0;
    CodedBlock block{reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), begin, end, level};
    verdict.accepted = decodeBzip2Block(block, scratch, verdict.bytes, length);
    verdict.bytes.resize(verdict.accepted ? length : 0);
    return verdict;
}

BlockVerdict library(const std::string& packed, uint64_t begin, uint64_t end, int level) {
    BlockVerdict verdict;
    verdict.accepted = decodeOneBlockStream(
        oneBlockStream(reinterpret_cast<const uint8_t*>(packed.data()), begin, end, level), verdict.bytes,
        48 << 20);
    if (!verdict.accepted) verdict.bytes.clear();
    return verdict;
}

std::vector<MagicMark> magicsOf(const std::string& packed) {
    std::vector<MagicMark> marks;
    findMagics(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), 0, marks);
    return marks;
}

// Data of the shapes that exercise the decoder's stages: long runs (RUNA/RUNB digits, run-length counts up
// to their limit), all 256 byte values, skewed text (long Huffman codes), single bytes.
std::string shapedData(int shape, size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string data;
    switch (shape) {
    case 0:  // every byte value, no structure
        data = noisyBytes(size, seed);
        break;
    case 1:  // one byte over and over
        data.assign(size, '\x07');
        break;
    case 2:  // runs of every length around the run-length stage's limits
        while (data.size() < size) {
            size_t length = random() % 600 + 1;
            data.append(length, static_cast<char>(random() % 5));
        }
        break;
    case 3:  // skewed: a few frequent bytes, many rare ones, so that codes reach their longest
        while (data.size() < size) {
            auto r = static_cast<uint32_t>(random());
            data += static_cast<char>(r % 1000 < 990 ? r % 3 : (r >> 12) % 256);
        }
        break;
    default:  // runs of exactly four and five equal bytes between noise
        while (data.size() < size) {
            size_t length = 4 + random() % 2;
            data.append(length, static_cast<char>(random()));
            size_t noise = random() % 20 + 1;
            data += noisyBytes(noise, static_cast<uint32_t>(random()));
        }
        break;
    }
    data.resize(size);
    return data;
}

TEST(Bzip2BlockDecoder, TakesEveryBlockTheLibraryWroteWithTheLibrarysBytes) {
    struct Case {
        int shape;
        size_t size;
        int level;
    };
    const Case cases[] = {
        {0, 250000, 1},  {0, 1000000, 9}, {1, 3000000, 1}, {1, 1, 9},      {2, 400000, 1},
        {2, 2000000, 9}, {3, 300000, 1},  {3, 950000, 9},  {4, 250000, 2}, {4, 30, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "shape " << c.shape << ", " << c.size << " bytes, level " << c.level);
        std::string data = shapedData(c.shape, c.size, static_cast<uint32_t>(c.size));
        std::string packed = bzip2(data, c.level);
        std::vector<MagicMark> marks = magicsOf(packed);
        ASSERT_GE(marks.size(), 2u);
        std::string joined;
        for (size_t i = 0; i + 1 < marks.size(); ++i) {
            BlockVerdict mine = ours(packed, marks[i].bit, marks[i + 1].bit, c.level);
            BlockVerdict theirs = library(packed, marks[i].bit, marks[i + 1].bit, c.level);
            ASSERT_TRUE(theirs.accepted);
            ASSERT_TRUE(mine.accepted) << "block " << i;
            ASSERT_TRUE(mine.bytes == theirs.bytes) << "block " << i;
            joined.append(mine.bytes.begin(), mine.bytes.end());
        }
        EXPECT_TRUE(joined == data);
    }
}

// Bits flipped at random, in the block header's fields and anywhere, and streams cut short; each block
// (also judged against the smallest level, which a long block exceeds) is decoded both ways.
TEST(Bzip2BlockDecoder, NeverTakesABlockTheLibraryRefusesAndAgreesOnTheRest) {
    std::string data = shapedData(3, 250000, 5) + shapedData(2, 300000, 6) + shapedData(0, 100000, 7);
    std::string packed = bzip2(data, 2);
    std::vector<MagicMark> marks = magicsOf(packed);
    ASSERT_GE(marks.size(), 3u);
    std::mt19937 random(12);
    int bothTook = 0, libraryAlone = 0;
    for (int trial = 0; trial < 150; ++trial) {
        std::string damaged = packed;
        uint64_t blockBit = marks[random() % (marks.size() - 1)].bit;
        int flips = 1 + static_cast<int>(random() % 3);
        for (int f = 0; f < flips; ++f) {
            // Half the flips in the first 160 bits of a block: its CRC, randomised bit, origPtr and maps.
            uint64_t bit =
                random() % 2 ? blockBit + 48 + random() % 112 : random() % (uint64_t{packed.size()} * 8);
            if (bit / 8 < damaged.size())
                damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (0x80 >> bit % 8));
        }
        if (trial % 10 == 0) damaged.resize(random() % damaged.size());
        std::vector<MagicMark> found = magicsOf(damaged);
        for (size_t i = 0; i + 1 < found.size(); ++i) {
            if (found[i].kind != MagicKind::block) continue;
            for (int level : {2, 1}) {
                BlockVerdict mine = ours(damaged, found[i].bit, found[i + 1].bit, level);
                BlockVerdict theirs = library(damaged, found[i].bit, found[i + 1].bit, level);
                if (mine.accepted) {
                    ASSERT_TRUE(theirs.accepted) << "trial " << trial << ", block at bit " << found[i].bit;
                    ASSERT_TRUE(mine.bytes == theirs.bytes) << "trial " << trial;
                    ++bothTook;
                } else if (theirs.accepted) {
                    ++libraryAlone;
                }
            }
        }
    }
    // The damage leaves most blocks whole, so both decoders must have taken many; ours may refuse what the
    // library takes only where the library tolerates something unusual, which random flips rarely make.
    EXPECT_GT(bothTook, 50);
    EXPECT_LT(libraryAlone, bothTook / 10);
}

TEST(Bzip2BlockDecoder, CrcMatchesTheStoredBlockCheck) {
    // "123456789" is the usual check value of this CRC (MSB first, 0x04c11db7, inverted at both ends).
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(~updateBzip2Crc(0xFFFFFFFFu, digits, sizeof digits), 0xFC891918u);
}

}  // namespace
}  // namespace catadump::test
