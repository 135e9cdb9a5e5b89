#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <vector>

#include "output/csv_writer.h"
#include "platform/platform.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

constexpr size_t flushNow = std::numeric_limits<size_t>::max();

// Writes of these sizes (or flushes), then the writes the output saw and the space left in the buffer.
struct WriterCase {
    std::string name;
    std::vector<size_t> steps;
    std::vector<size_t> outputWrites;
    size_t spaceLeft;
};
void PrintTo(const WriterCase& test, std::ostream* out) { *out << test.name; }

class CsvWriterBuffering : public ::testing::TestWithParam<WriterCase> {};

TEST_P(CsvWriterBuffering, WritesOutOnlyWhenItMustAndKeepsTheOrder) {
    CapturedRun captured;
    MemorySink sink;
    CsvWriter writer;
    openCsvWriter(writer, captured.run, memorySink(sink));

    std::string expected;
    uint32_t seed = 1;
    for (size_t step : GetParam().steps) {
        if (step == flushNow) {
            flush(writer);
            continue;
        }
        std::string bytes = noisyBytes(step, seed++);
        writeBytes(writer, bytes.data(), bytes.size());
        expected += bytes;
    }
    EXPECT_EQ(sink.writes, GetParam().outputWrites);
    EXPECT_EQ(writer.spaceLeft, GetParam().spaceLeft);

    flush(writer);
    EXPECT_TRUE(sink.bytes == expected) << "the output differs from the bytes written, in order";
    EXPECT_FALSE(captured.run.flags.writeError);
}

INSTANTIATE_TEST_SUITE_P(
    , CsvWriterBuffering,
    ::testing::Values(
        WriterCase{"ExactFillStaysBuffered", {65526, 10}, {}, 0},
        WriterCase{"FullBufferGoesOutWithTheNextByte", {65526, 10, 1}, {65536}, 65535},
        WriterCase{"FullBufferGoesOutOnFlush", {65526, 10, flushNow}, {65536}, 65536},
        WriterCase{"WholeBufferIntoEmptyIsBuffered", {65536}, {}, 0},
        WriterCase{"WholeBufferIntoNonEmptyGoesStraightOut", {10, 65536}, {10, 65536}, 65536},
        WriterCase{"MoreThanSpaceLeftIsBufferedAfterWritingOut", {60000, 10000}, {60000}, 55536},
        WriterCase{"OverBufferSizeGoesStraightOut", {100000}, {100000}, 65536},
        WriterCase{"ZeroLengthWritesChangeNothing", {0, 5, 0}, {}, 65531},
        WriterCase{"ZeroLengthWriteIntoFullBuffer", {65536, 0}, {}, 0},
        WriterCase{"FlushOfEmptyBufferWritesNothing", {flushNow, 10, flushNow, flushNow}, {10}, 65536}),
    [](const auto& test) { return test.param.name; });

TEST(CsvWriter, FailedWriteSetsTheFlagAndWritingCarriesOn) {
    CapturedRun captured;
    MemorySink sink;
    sink.failNext = 1;
    CsvWriter writer;
    openCsvWriter(writer, captured.run, memorySink(sink));

    std::string lost(70000, 'x');
    writeBytes(writer, lost.data(), lost.size());
    EXPECT_TRUE(captured.run.flags.writeError);
    writeString(writer, "kept\r\n");
    flush(writer);
    EXPECT_TRUE(sink.bytes == "kept\r\n") << sink.bytes.size() << " bytes reached the output";
}

TEST(CsvWriter, ReservedSpaceIsWrittenOutFirstWhenShort) {
    CapturedRun captured;
    MemorySink sink;
    CsvWriter writer;
    openCsvWriter(writer, captured.run, memorySink(sink));

    std::string filler(65530, 'f');
    writeString(writer, filler);
    EXPECT_EQ(reserveSpace(writer, csvBufferSize + 1), nullptr);
    char* room = reserveSpace(writer, 10);  // 6 left: the buffer goes out first
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(sink.writes, std::vector<size_t>{65530});
    std::memcpy(room, "0123456789", 10);
    commitSpace(writer, 4);
    EXPECT_EQ(writer.spaceLeft, csvBufferSize - 4);
    flush(writer);
    EXPECT_TRUE(sink.bytes == filler + "0123") << sink.bytes.size() << " bytes reached the output";
}

TEST(CsvWriter, FullDeviceSetsTheWriteErrorFlag) {
    platform::File output;
    if (!platform::createForWriting("/dev/full", output)) GTEST_SKIP() << "no /dev/full here";
    CapturedRun captured;
    CsvWriter writer;
    FileOutput sinkFile{&output};
    openCsvWriter(writer, captured.run, fileSink(sinkFile));

    writeString(writer, "Filename,Attributes\r\n");
    EXPECT_FALSE(captured.run.flags.writeError);  // still in the buffer
    flush(writer);
    EXPECT_TRUE(captured.run.flags.writeError);
    platform::closeFile(output);
}

// The output is opened without being emptied; the writer empties it before its first byte, on whichever
// thread writes, so an older and longer file is gone whether or not anything is written. Only an output
// that held bytes is handed to the disk as it is written; a long one crosses that step more than once.
TEST(CsvWriter, AnExistingOutputHoldsOnlyWhatThisRunWrote) {
    TempDir directory;
    std::string longer(19u << 20, 'x');
    for (size_t i = 0; i < longer.size(); i += 4099) longer[i] = static_cast<char>('a' + i % 26);
    for (CsvWriting writing : {CsvWriting::plain, CsvWriting::overlapped, CsvWriting::pumped}) {
        for (std::string before : {std::string(), std::string(300000, 'o')}) {
            for (std::string written : {std::string(), std::string("Filename\r\n"), longer}) {
                std::string path = directory.write("out.qlx", before);
                platform::File output;
                ASSERT_TRUE(platform::createForWritingEmptiedLater(path, output));
                CapturedRun captured;
                CsvWriter writer;
                FileOutput sinkFile{&output};
                openCsvWriter(writer, captured.run, fileSink(sinkFile), writing);
                writeString(writer, written);
                flush(writer);
                writer.thread.reset();
                EXPECT_TRUE(platform::closeFile(output));
                EXPECT_FALSE(captured.run.flags.writeError);
                std::string context = std::to_string(static_cast<int>(writing)) + ", " +
                                      std::to_string(before.size()) + " bytes before, " +
                                      std::to_string(written.size()) + " written";
                EXPECT_EQ(sinkFile.writeOutAsWritten, !before.empty()) << context;
                EXPECT_TRUE(readWholeFile(path) == written) << context;
            }
        }
    }
}

}  // namespace
}  // namespace catadump::test

namespace catadump::test {
namespace {

// The overlapped and pumped writers must leave exactly what the plain 64 KiB writer leaves: after a flush,
// and when a fatal condition abandons it midway (the bytes the 64 KiB buffer had written out, no more).
struct OverlapCase {
    std::string name;
    std::vector<size_t> writes;  // sizes; a zero-sized entry asks for 98 bytes of room and uses 40
};
void PrintTo(const OverlapCase& test, std::ostream* out) { *out << test.name; }

class OverlappedWriter : public ::testing::TestWithParam<OverlapCase> {};

std::string runWriter(CapturedRun& captured, const OverlapCase& test, CsvWriting writing, bool abandon) {
    MemorySink sink;
    {
        CsvWriter writer;
        openCsvWriter(writer, captured.run, memorySink(sink), writing);
        uint32_t seed = 3;
        for (size_t size : test.writes) {
            std::string bytes = noisyBytes(size == 0 ? 40 : size, seed++);
            if (size == 0) {
                char* room = reserveSpace(writer, 98);
                std::memcpy(room, bytes.data(), 40);
                commitSpace(writer, 40);
            } else {
                writeBytes(writer, bytes.data(), bytes.size());
            }
        }
        if (abandon)
            abandonCsvWriter(writer);
        else
            flush(writer);
    }
    return sink.bytes;
}

TEST_P(OverlappedWriter, LeavesWhatThePlainWriterLeaves) {
    CapturedRun captured;
    for (bool abandon : {false, true}) {
        std::string plain = runWriter(captured, GetParam(), CsvWriting::plain, abandon);
        // Pumped with nothing pumping it, the thread that fills the chunks writes them itself.
        for (CsvWriting writing : {CsvWriting::overlapped, CsvWriting::pumped}) {
            std::string overlapped = runWriter(captured, GetParam(), writing, abandon);
            EXPECT_EQ(plain.size(), overlapped.size()) << (abandon ? "abandoned" : "flushed");
            EXPECT_TRUE(plain == overlapped) << (abandon ? "abandoned" : "flushed");
        }
    }
    EXPECT_FALSE(captured.run.flags.writeError);
}

std::vector<size_t> manyRows(size_t count, size_t seed) {
    std::mt19937 random(static_cast<uint32_t>(seed));
    std::vector<size_t> writes;
    for (size_t i = 0; i < count; ++i) writes.push_back(random() % 5 == 0 ? 0 : random() % 300 + 1);
    return writes;
}

INSTANTIATE_TEST_SUITE_P(
    , OverlappedWriter,
    ::testing::Values(OverlapCase{"Nothing", {}}, OverlapCase{"UnderOneBuffer", {100, 0, 200}},
                      OverlapCase{"RowsOverManyChunks", manyRows(60000, 1)},
                      OverlapCase{"LargeWritesBetweenRows", {10, 70000, 0, 5, 65536, 300000, 1, 0}},
                      OverlapCase{"ExactFills", {65536, 65536, 1, 65535, 1, 0}}),
    [](const auto& test) { return test.param.name; });

TEST(OverlappedWriterErrors, AFailedWriteOfTheThreadSetsTheFlagByTheFlush) {
    CapturedRun captured;
    MemorySink sink;
    sink.failAlways = true;
    CsvWriter writer;
    openCsvWriter(writer, captured.run, memorySink(sink), CsvWriting::overlapped);
    std::string row(200, 'r');
    for (int i = 0; i < 20000; ++i) writeString(writer, row);
    flush(writer);
    EXPECT_TRUE(captured.run.flags.writeError);
}

}  // namespace
}  // namespace catadump::test
