// Names that front coding lets grow far beyond the bytes that describe them. Folder names are kept as
// runs of stored bytes: every name must read back exactly as decoded, whatever was stored after it, while
// the bytes kept follow the bytes read. And the program's memory must not grow with what a small crafted
// database describes.
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "formats/qlx.h"
#include "input/stream_fixture.h"
#include "model/folder_names.h"
#include "readers/name_decoding.h"

namespace catadump::test {
namespace {

struct Step {
    uint32_t strip = 0;
    std::string suffix;  // empty: the previous name again
};

struct NameShape {
    std::string name;
    std::function<std::vector<Step>()> steps;
};
void PrintTo(const NameShape& shape, std::ostream* out) { *out << shape.name; }

std::vector<Step> repeated(size_t count, const std::function<Step(size_t, size_t)>& step) {
    std::vector<Step> steps;
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        steps.push_back(step(i, length));
        length =
            steps.back().suffix.empty() ? length : length - steps.back().strip + steps.back().suffix.size();
    }
    return steps;
}

std::string letters(size_t n, size_t from) {
    std::string text;
    for (size_t k = 0; k < n; ++k) text += static_cast<char>('a' + (from + k) % 26);
    return text;
}

const std::vector<NameShape> nameShapes = {
    {"GrowingByOneByte",
     [] { return repeated(3000, [](size_t i, size_t) {
              return Step{0, letters(1, i)};
          }); }},
    {"DroppingOneAddingTwo",
     [] {
         return repeated(3000, [](size_t i, size_t length) {
             return Step{static_cast<uint32_t>(length > 0), letters(2, i)};
         });
     }},
    {"LongerThanTheWriterBuffer",  // names past 64 KiB, and runs across the store's blocks
     [] {
         return repeated(700, [](size_t i, size_t length) {
             return Step{static_cast<uint32_t>(std::min<size_t>(length, i % 7)), letters(255, i)};
         });
     }},
    {"AfterANameOfABlockOfItsOwn",  // the long name's run is no neighbour of the next one stored
     [] {
         return std::vector<Step>{{0, "q"}, {1, letters(300000, 0)}, {0, "x"}, {0, "y"}, {3, "zz"}, {0, "w"}};
     }},
    {"RandomWithZeroBytesAndRepeats",
     [] {
         std::mt19937 random(7);
         return repeated(5000, [&random](size_t, size_t length) {
             if (random() % 10 == 0) return Step{};
             Step step{static_cast<uint32_t>(random() % (std::min<size_t>(length, 4) + 1)), {}};
             for (size_t k = random() % 8 + 1; k > 0; --k) step.suffix += "abcdefg\0"[random() % 8];
             return step;
         });
     }},
};

class FolderNameRuns : public StreamFixture, public ::testing::TestWithParam<NameShape> {};

TEST_P(FolderNameRuns, ReadBackAsDecodedWithinBoundedStorage) {
    std::vector<Step> steps = GetParam().steps();
    DbBuilder encoded;
    std::vector<std::string> expected;  // the visible part of every name
    std::string whole;
    size_t suffixBytes = 0;
    for (const Step& step : steps) {
        encoded.compact(static_cast<uint32_t>(step.suffix.size()));
        if (!step.suffix.empty()) {
            encoded.compact(step.strip).raw(step.suffix);
            whole = whole.substr(0, whole.size() - step.strip) + step.suffix;
        }
        suffixBytes += step.suffix.size();
        expected.push_back(whole.substr(0, whole.find('\0')));
    }
    open(encoded.bytes(), Mode::raw);
    FolderNames names;
    names.names.resize(steps.size());
    NameState state;
    for (uint32_t folder = 0; folder < steps.size(); ++folder) {
        ASSERT_TRUE(decodeFrontCodedName(stream, state, NameList::folders, CountWidth::compact));
        ASSERT_EQ(visibleName(state), expected[folder]) << folder;
        storeDecodedFolderName(names, folder, state);
    }
    MemorySink sink;
    CsvWriter writer;
    openCsvWriter(writer, run(), memorySink(sink));
    std::string all;
    for (uint32_t folder = 0; folder < steps.size(); ++folder) {
        const FolderName& name = names.names[folder];
        ASSERT_EQ(name.visibleLength, expected[folder].size()) << folder;
        std::string copied(name.visibleLength, '?');
        copyVisibleName(names, folder, copied.data());
        ASSERT_EQ(copied, expected[folder]) << folder;
        writeVisibleName(writer, names, folder);
        all += expected[folder];
        // Writing a name goes through runs of 16 bytes on average, or through the one run.
        EXPECT_LE(name.runs * 16, std::max<uint32_t>(name.length + 16, 32)) << folder;
    }
    flush(writer);
    EXPECT_TRUE(sink.bytes == all);
    EXPECT_LE(names.text.stored, suffixBytes + 16 * steps.size());
}

INSTANTIATE_TEST_SUITE_P(, FolderNameRuns, ::testing::ValuesIn(nameShapes),
                         [](const auto& test) { return test.param.name; });

// ---- The program on crafted databases ----

std::string compact(uint32_t value) {
    DbBuilder b;
    b.compact(value);
    return b.bytes();
}

// A 1.7.20 database of `count` root folders on one FOLDER filesystem, named by `nameRecord(i)`.
std::string lateRootFolders(uint32_t count, const std::function<std::string(uint32_t)>& nameRecord) {
    DbBuilder b;
    b.header("QRTb", versionWord(1, 7, 20)).u32(0).u32(count).u32(0);
    b.compact(1).compact(2).u8(0).str("C:\\Grow").u64(0).u8(0).compact(0).compact(0).compact(0);
    for (uint32_t i = 0; i < count; ++i) b.u32(count);
    for (uint32_t i = 0; i < count; ++i) b.raw(nameRecord(i));
    return b.bytes();
}

std::string oneMoreByte(uint32_t i) { return compact(1) + compact(0) + letters(1, i); }
std::string dropOneAddTwo(uint32_t i) { return compact(2) + compact(i == 0 ? 0 : 1) + letters(2, i); }

// A 1.6.6 database of `count` root folders whose names grow by one byte: their decode offsets, which
// parents are named by, grow with the square of the count.
std::string oldRootFolders(uint32_t count) {
    DbBuilder b;
    b.header("QWTB", versionWord(1, 6, 6))
        .u32(0)
        .u32(count)
        .u32(0)
        .u32(0xFFFFFFFF)
        .u32(0)
        .repeat(26, 0)
        .u32(0);
    for (uint32_t i = 0; i < count; ++i) b.u8(0).u64(0).u32(0xFFFFFFFF).u32(0).u8(1).u8(0).raw(letters(1, i));
    return b.bytes();
}

// A 1.6.7 database of `count` root folders named in turn by two file systems with long paths.
std::string alternatingRoots(uint32_t count) {
    DbBuilder b;
    b.header("QWTB", versionWord(1, 6, 7)).u32(0).u32(count).u32(0).u32(0xFFFFFFFF).u32(0).u32(0).u32(0);
    b.compact(2);
    for (char letter : {'X', 'Y'})
        b.compact(0).str(std::string(20000, letter)).str("{guid}").u32(0).u64(0).u64(0);
    b.compact(0).compact(0);
    for (uint32_t i = 0; i < count; ++i) b.u64(0).u32(0xFFFFFFFF).u32(0).compact(i % 2);
    return b.bytes();
}

struct CraftedShape {
    std::string name;
    std::function<std::string(uint32_t)> database;
    uint32_t count;  // enough for a few hundred MB if names, paths or offsets were held whole
};
void PrintTo(const CraftedShape& shape, std::ostream* out) { *out << shape.name; }

const std::vector<CraftedShape> craftedShapes = {
    {"FolderNamesGrowingByOneByte", [](uint32_t n) { return lateRootFolders(n, oneMoreByte); }, 20000},
    {"FolderNamesDroppingOneAddingTwo", [](uint32_t n) { return lateRootFolders(n, dropOneAddTwo); }, 20000},
    {"DecodeOffsetsOfGrowingNames", oldRootFolders, 20000},
    {"RootFoldersNamedByLongPaths", alternatingRoots, 10000},
};

class CraftedDatabase : public ::testing::TestWithParam<CraftedShape> {};

TEST_P(CraftedDatabase, MemoryFollowsTheBytesReadNotTheNamesDescribed) {
    TempDir directory;
    auto run = [&](uint32_t count) {
        std::string path = directory.write("Quillseek.db", GetParam().database(count));
        return runProgram({path, "/dev/null"});
    };
    ProgramRun small = run(10);
    ProgramRun large = run(GetParam().count);
    for (const ProgramRun* r : {&small, &large}) {
        EXPECT_EQ(r->exitCode, 0) << r->console;
        EXPECT_TRUE(r->console.ends_with("Conversion complete!\n")) << r->console;
    }
    EXPECT_LT(large.maxResidentKiB, small.maxResidentKiB + 24 * 1024)
        << "with 10 records: " << small.maxResidentKiB << " KiB";
}

INSTANTIATE_TEST_SUITE_P(, CraftedDatabase, ::testing::ValuesIn(craftedShapes),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace catadump::test
