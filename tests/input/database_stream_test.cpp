#include <regex>
#include <tuple>
#include <vector>

#include "bzip2/blocks.h"
#include "input/database_stream.h"
#include "stream_fixture.h"

namespace catadump::test {
namespace {

constexpr size_t mixedSize = 1 + 4 + 8 + 1000 + 4 + 1 + 4;

// A mix of fields, with one read far larger than the smallest read-ahead buffer.
DbBuilder mixedFields() {
    DbBuilder b;
    b.u8(0xAB).u32(0x01020304).u64(0x1122334455667788).raw(noisyBytes(1000, 7)).u32(0xDEADBEEF).u8(0x7F);
    b.raw("tail");
    return b;
}

class StreamReads : public StreamFixture, public ::testing::TestWithParam<std::tuple<Mode, size_t>> {
  protected:
    void openParam(std::string_view plain) { open(plain, std::get<0>(GetParam()), std::get<1>(GetParam())); }
    bool compressed() const { return std::get<0>(GetParam()) == Mode::compressed; }
};

TEST_P(StreamReads, FieldsReadBackAcrossBufferBoundaries) {
    ASSERT_EQ(mixedFields().size(), mixedSize);
    openParam(mixedFields().bytes());

    EXPECT_EQ(readU8(stream), 0xAB);
    EXPECT_EQ(readU32(stream), 0x01020304u);
    EXPECT_EQ(readU64(stream), 0x1122334455667788u);
    std::string block(1000, '\0');
    readBytes(stream, block.size(), block.data());
    EXPECT_EQ(block, noisyBytes(1000, 7));
    EXPECT_EQ(readU32(stream), 0xDEADBEEFu);
    EXPECT_EQ(readU8(stream), 0x7F);
    char tail[4];
    readBytes(stream, 4, tail);  // ends exactly at the end of the data
    EXPECT_EQ(std::string(tail, 4), "tail");

    EXPECT_FALSE(flags().readError);
    EXPECT_EQ(console(), "");
}

TEST_P(StreamReads, ReadCutShortByTheEndYieldsZeroesFromThenOn) {
    openParam("\x01\x02\x03\x04\x05\x06");

    EXPECT_EQ(readU32(stream), 0x04030201u);
    EXPECT_FALSE(flags().readError);
    EXPECT_EQ(readU32(stream), 0u);  // two bytes left of four
    EXPECT_TRUE(flags().readError);
    EXPECT_EQ(readU8(stream), 0);
    EXPECT_EQ(readU64(stream), 0u);

    std::string printed = console();
    if (compressed()) {
        EXPECT_TRUE(std::regex_match(printed, std::regex(inflateFailureLine))) << printed;
    } else {
        EXPECT_EQ(printed, "");
    }
}

TEST_P(StreamReads, FailedReadZeroesEveryByteOfItsDestination) {
    openParam(noisyBytes(600));
    readU8(stream);

    std::vector<uint8_t> destination(1000, 0xAA);  // 599 bytes are there, the rest is not
    readBytes(stream, destination.size(), destination.data());
    EXPECT_EQ(destination, std::vector<uint8_t>(1000, 0));
    EXPECT_TRUE(flags().readError);

    uint8_t small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    readBytes(stream, 4, small);
    EXPECT_EQ(loadU32(small), 0u);
}

TEST_P(StreamReads, ZeroLengthReadsChangeNothing) {
    openParam("ABCDEFGH");
    char untouched = 'x';

    readBytes(stream, 0, &untouched);
    EXPECT_EQ(readU32(stream), loadU32(reinterpret_cast<const uint8_t*>("ABCD")));
    readBytes(stream, 0, &untouched);
    EXPECT_EQ(readU32(stream), loadU32(reinterpret_cast<const uint8_t*>("EFGH")));
    readBytes(stream, 0, &untouched);  // at the very end: still no failure

    EXPECT_EQ(untouched, 'x');
    EXPECT_FALSE(flags().readError);
    EXPECT_EQ(console(), "");
}

INSTANTIATE_TEST_SUITE_P(, StreamReads,
                         ::testing::Combine(::testing::Values(Mode::raw, Mode::compressed),
                                            // the smallest buffer, an odd size, the whole mixed data exactly,
                                            // and the program's own size
                                            ::testing::Values(size_t{16}, size_t{17}, mixedSize,
                                                              defaultReadAhead)),
                         [](const auto& test) {
                             return std::string(modeName(std::get<0>(test.param))) + "ReadAhead" +
                                    std::to_string(std::get<1>(test.param));
                         });

class RawStream : public StreamFixture, public ::testing::Test {};

TEST_F(RawStream, EveryReadAtTheEndAsksTheSourceAgain) {
    open("\x01\x02\x03\x04\x05\x06", Mode::raw, 16);
    readU32(stream);
    readU32(stream);
    ASSERT_TRUE(flags().readError);

    int before = sourceReads();
    readU8(stream);
    readU64(stream);
    char bytes[40];
    readBytes(stream, sizeof bytes, bytes);
    EXPECT_EQ(sourceReads(), before + 3);
}

// A failure of the bzip2 filter: what is stored, how many u32 reads succeed first (-1 when that depends on
// how far the library gets), and the one line printed.
struct InflateFailure {
    std::string name;
    std::string stored;
    int goodReads;
    std::string line;
};
void PrintTo(const InflateFailure& test, std::ostream* out) { *out << test.name; }

std::vector<InflateFailure> inflateFailures() {
    std::string packed = bzip2(noisyBytes(20000));
    return {
        {"TruncatedFile", cut(packed, packed.size() / 2), 0, "ReadFile(): 0: Failed to read.\n"},
        {"CorruptBlockHeader", flipByte(packed, 4), 0, "BZ2_bzDecompress(): -4: Failed to decompress.\n"},
        {"CorruptBlockData", flipByte(packed, packed.size() / 2, 0x10), -1,
         "BZ2_bzDecompress(): -4: Failed to decompress.\n"},
        {"StreamEndsInsideARead", bzip2("\x01\x02\x03\x04\x05\x06"), 1,
         "BZ2_bzDecompress(): 4: Unexpected EOF in decompression stream.\n"},
    };
}

class InflateFailures : public StreamFixture, public ::testing::TestWithParam<InflateFailure> {};

TEST_P(InflateFailures, PrintOneLineAndLeaveTheFileAlone) {
    const InflateFailure& failure = GetParam();
    openStored(failure.stored, Mode::compressed);

    int reads = 0;
    uint32_t last = 1;
    while (!flags().readError && reads < 10000) {
        last = readU32(stream);
        ++reads;
    }
    ASSERT_TRUE(flags().readError);
    EXPECT_EQ(last, 0u);
    if (failure.goodReads >= 0) {
        EXPECT_EQ(reads, failure.goodReads + 1);
    }

    int before = sourceReads();
    EXPECT_EQ(readU8(stream), 0);
    EXPECT_EQ(readU64(stream), 0u);
    std::vector<uint8_t> block(300, 0xAA);
    readBytes(stream, block.size(), block.data());
    EXPECT_EQ(block, std::vector<uint8_t>(300, 0));
    EXPECT_EQ(sourceReads(), before);

    EXPECT_EQ(console(), failure.line);
}

INSTANTIATE_TEST_SUITE_P(, InflateFailures, ::testing::ValuesIn(inflateFailures()),
                         [](const auto& test) { return test.param.name; });

class CompressedStream : public StreamFixture, public ::testing::Test {};

// A stream that follows another continues the data; what follows the last one is the data's end.
TEST_F(CompressedStream, AFollowingStreamContinuesTheData) {
    openStored(bzip2("ABCD") + bzip2("EFGH") + "tail", Mode::compressed);
    EXPECT_EQ(readU32(stream), loadU32(reinterpret_cast<const uint8_t*>("ABCD")));
    EXPECT_EQ(readU32(stream), loadU32(reinterpret_cast<const uint8_t*>("EFGH")));
    EXPECT_FALSE(flags().readError);
    EXPECT_EQ(readU32(stream), 0u);
    EXPECT_TRUE(flags().readError);
    EXPECT_EQ(console(), "BZ2_bzDecompress(): 4: Unexpected EOF in decompression stream.\n");
}

// Under recovery the stream goes on past a lost block with the bytes of the block after it. A range of the
// data holds the gap when the gap lies at its start or inside it, not at its end; and the end of the reading
// raises the read-error flag again where a reader looking ahead has put it back.
TEST_F(CompressedStream, UnderRecoveryAGapLiesWhereALostBlocksBytesWouldBe) {
    const std::string data = noisyBytes(300000, 5);
    std::string packed = bzip2(data, 1);
    std::vector<MagicMark> marks;
    findMagics(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), 0, marks);
    ASSERT_EQ(marks.size(), 5u);  // four blocks and the end
    packed.replace(static_cast<size_t>((marks[1].bit + marks[2].bit) / 16), 8, 8, '\0');
    run().recover = true;
    openStored(packed, Mode::compressed);

    std::string got;
    while (fillReadAhead(stream) > 0) {
        got.append(stream.cursor, stream.limit);
        stream.cursor = stream.limit;
    }
    ASSERT_EQ(dataGaps(stream).size(), 1u);
    const uint64_t gap = dataGaps(stream)[0];
    const size_t lost = data.size() - got.size();
    ASSERT_GT(gap, 0u);
    ASSERT_LT(gap, got.size());
    EXPECT_TRUE(got == data.substr(0, gap) + data.substr(gap + lost));

    EXPECT_FALSE(gapWithin(stream, 0, gap));
    EXPECT_TRUE(gapWithin(stream, gap - 1, gap + 1));
    EXPECT_TRUE(gapWithin(stream, gap, gap + 4));
    EXPECT_FALSE(gapWithin(stream, gap + 1, got.size()));

    resetFlags();
    finishDatabaseStream(stream);
    EXPECT_TRUE(flags().readError);
}

}  // namespace
}  // namespace catadump::test
