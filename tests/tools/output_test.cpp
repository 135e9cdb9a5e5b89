// What leaves the generator: the bzip2 wrapping and the value columns of the expected CSV.
#include <gtest/gtest.h>

#include <bzlib.h>

#include "catagen/bzip2.h"
#include "catagen/expected_csv.h"
#include "catagen/random.h"

using namespace catagen;

namespace {

std::string unwrap(const std::string& compressed, size_t rawSize) {
    std::string raw(rawSize + 16, '\0');
    unsigned int size = static_cast<unsigned int>(raw.size());
    int result = BZ2_bzBuffToBuffDecompress(raw.data(), &size, const_cast<char*>(compressed.data()),
                                            static_cast<unsigned int>(compressed.size()), 0, 0);
    EXPECT_EQ(result, BZ_OK);
    raw.resize(size);
    return raw;
}

TEST(GenBzip2, WrapsOneStreamWithTheChosenBlockSize) {
    // Several megabytes of poorly compressible bytes: more than one feed chunk, one output buffer and one
    // bzip2 block.
    std::string raw(5 << 20, '\0');
    Rng rng{3};
    for (size_t i = 0; i < raw.size(); i += 8) {
        uint64_t v = nextU64(rng) & 0x0F0F0F0F0F0F0F0Full;
        for (size_t j = 0; j < 8; ++j) raw[i + j] = static_cast<char>(v >> (8 * j));
    }
    std::string nine = bzip2Wrap(raw);
    EXPECT_EQ(nine.substr(0, 4), "BZh9");
    EXPECT_EQ(unwrap(nine, raw.size()), raw);

    // Through a sink in small pieces, as the command line writes: the same stream.
    std::string streamed;
    auto compressor = startBzip2(1, stringDrain(streamed));
    ByteSink sink = makeSink(bzip2Drain(*compressor), 4096);
    for (size_t at = 0; at < raw.size(); at += 1000) putText(sink, std::string_view(raw).substr(at, 1000));
    flush(sink);
    ASSERT_TRUE(finishBzip2(*compressor));
    EXPECT_EQ(streamed.substr(0, 4), "BZh1");
    EXPECT_EQ(unwrap(streamed, raw.size()), raw);
    EXPECT_EQ(bzip2Wrap("", 9).substr(0, 4), "BZh9");
}

// One folder and one file with every value set, under each flags word that changes a column.
TEST(GenExpectedCsv, ValueColumnsFollowTheFlagsWord) {
    Tree tree;
    tree.filesystems.resize(1);
    Values folderValues{11, 12, 13, 14, 0x2000, 0};
    Values fileValues{21, 22, 23, 24, 0x21, 0};
    tree.folders = {{"d", kNoFolder, 0, folderValues}};
    tree.files = {{"f", 0, 0, fileValues}};
    struct Case {
        uint32_t flags;
        const char* folderRow;
        const char* fileRow;
    };
    const Case cases[] = {
        {0x00, "\"d\",0,0,0,0,16\r\n", "\"d\\f\",0,0,0,0,0\r\n"},
        {0x01, "\"d\",0,0,0,0,16\r\n", "\"d\\f\",21,0,0,0,0\r\n"},
        {0x20, "\"d\",11,0,0,0,16\r\n", "\"d\\f\",0,0,0,0,0\r\n"},
        {0x0E, "\"d\",0,12,13,14,16\r\n", "\"d\\f\",0,22,23,24,0\r\n"},
        // A stored folder attribute is printed as stored, also without the directory bit.
        {0x10, "\"d\",0,0,0,0,8192\r\n", "\"d\\f\",0,0,0,0,33\r\n"},
        {0xFFFFFFC0, "\"d\",0,0,0,0,16\r\n", "\"d\\f\",0,0,0,0,0\r\n"},
    };
    for (const Case& c : cases) {
        tree.settings.flags = c.flags;
        EXPECT_EQ(expectedCsv(tree, Version::v1_7_17),
                  std::string(kSixColumnHeader) + c.folderRow + c.fileRow)
            << "flags " << c.flags;
        EXPECT_EQ(expectedCsv(tree, Version::v1_7_8), "Filename,Attributes\r\n\"d\",16\r\n\"d\\f\",0\r\n");
    }
    tree.files[0].values.size = ~uint64_t{0};
    tree.settings.flags = 0x01;
    EXPECT_NE(expectedCsv(tree, Version::v1_7_20).find(",18446744073709551615,"), std::string::npos);
}

}  // namespace
