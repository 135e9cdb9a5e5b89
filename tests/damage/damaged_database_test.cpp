// The damaged databases of the README's table ("What happens with a damaged database") that are checked
// through the built program: it converts a file written by the generator's encoder and damaged at its
// marks, and each case checks the console lines, the rows kept and the exit code. Cuts at every byte,
// overstated counts and lengths, and the structural errors of every version (in process, through the
// program and through a pipe) are in damaged_input_test.cpp.
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "bzip2/blocks.h"
#include "catagen/expected_csv.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/db_builder.h"
#include "support/versions.h"
#include "tools/byte_reader.h"

namespace catadump::test {
namespace {

using namespace std::string_literals;
using catagen::kNoFolder;

const std::string readErrorLine = "Error: Encounted atleast one read error\n";
const std::string compressedLines = "Magic BZh9\nDatabase is compressed, decompressing with bz2...\n";
const std::string noSignatureLines = "Magic \0\0\0\0\nUnknown DB type 00000000 \0\0\0\0\n"s;

// ---- A small database of every version ----
//
// One tree in every version, written by the generator's encoder: a folder at the top of its filesystem
// and a folder inside it, a file in each, the files last. A case damages it at the encoder's marks.

catagen::Tree smallTree() {
    catagen::Tree tree;
    catagen::Filesystem data;
    data.path = "D:\\Data";
    data.guid = "{data}";
    tree.filesystems = {data};
    tree.folders = {{"Root", kNoFolder, 0, {.attributes = 0x10}}, {"Sub", 0, 0, {.attributes = 0x10}}};
    tree.files = {{"a", 0, 0, {.size = 1}}, {"b", 1, 0, {.size = 2}}};
    return tree;
}

MarkedDatabase smallDatabase(Version version) { return encodeMarked(smallTree(), version); }

// The first `count` rows of the intact tree (the header line counts as one).
std::string firstRows(Version version, size_t count) {
    std::vector<std::string> rows = csvRows(catagen::expectedCsv(smallTree(), version));
    std::string csv;
    for (size_t i = 0; i < count && i < rows.size(); ++i) csv += rows[i];
    return csv;
}

class DamagedDatabase : public ::testing::TestWithParam<Version> {
  protected:
    FileConversion convert(const std::string& stored) { return convertFile(dir, stored); }
    TempDir dir;
};

// One folder and thousands of files with names that barely compress: three blocks of 100 kB under the
// header the program takes for bzip2 (blocks of any size fit under it).
struct ThreeBlocks {
    std::string db;
    std::string packed;
    std::vector<MagicMark> marks;
};
ThreeBlocks threeBlocks() {
    const uint32_t fileCount = 5500;
    std::string noise = noisyBytes(size_t{fileCount} * 40, 7);
    catagen::Tree tree = smallTree();
    tree.folders.resize(1);
    tree.files.clear();
    for (uint32_t i = 0; i < fileCount; ++i) {
        std::string name = noise.substr(size_t{i} * 40, 40);
        for (char& c : name) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
        tree.files.push_back({name, 0, 0, {}});
    }
    ThreeBlocks blocks;
    blocks.db = encodeMarked(tree, Version::v1_7_8).bytes;
    blocks.packed = bzip2(blocks.db, 1);
    blocks.packed[3] = '9';
    findMagics(reinterpret_cast<const uint8_t*>(blocks.packed.data()), blocks.packed.size(), 0, blocks.marks);
    return blocks;
}

// Row: a bzip2-wrapped database cut in a later block keeps what the whole blocks before the cut hold: the
// rows of a raw copy cut where those blocks' data ends.
TEST(DamagedDatabaseBlocks, CompressedFileCutInItsThirdBlockKeepsTheRowsOfTheFirstTwo) {
    auto [db, packed, marks] = threeBlocks();
    ASSERT_EQ(marks.size(), 4u);
    size_t wholeBlocksData = 0;
    for (int block = 0; block < 2; ++block) {
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(decodeOneBlockStream(oneBlockStream(reinterpret_cast<const uint8_t*>(packed.data()),
                                                        marks[block].bit, marks[block + 1].bit),
                                         decoded, size_t{1} << 24));
        wholeBlocksData += decoded.size();
    }

    TempDir dir;
    FileConversion raw = convertFile(dir, cut(db, wholeBlocksData));
    std::string rawConsole = afterFileLines(raw);
    FileConversion run =
        convertFile(dir, cut(packed, static_cast<size_t>((marks[2].bit + marks[3].bit) / 16)));
    std::string console = afterFileLines(run);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.csv, raw.csv);
    EXPECT_GT(csvRows(*run.csv).size(), 2000u);
    std::smatch failure;
    ASSERT_TRUE(
        std::regex_search(console, failure, std::regex("ReadFile\\(\\): -?[0-9]+: Failed to read\\.\n")));
    EXPECT_EQ(console.substr(0, static_cast<size_t>(failure.position())) + failure.suffix().str(),
              compressedLines + rawConsole);
}

// Row: corrupt bzip2 data. Damage that stops the library before the block's bytes come out leaves no data;
// damage that only the block's check or the stream's check finds is met at the block's last byte, which the
// library produces in the call that checks it: the read of the last record's last field fails, and that
// record has no row.
TEST_P(DamagedDatabase, CorruptCompressedData) {
    std::string intact = smallDatabase(GetParam()).bytes;
    std::string packed = bzip2(intact);
    const std::string failed = "BZ2_bzDecompress(): -4: Failed to decompress.\n";

    // The block's first coded bytes (its header: the block's origin pointer and the symbol map).
    FileConversion coded = convert(flipByte(packed, 15, 0x5A));
    EXPECT_EQ(afterFileLines(coded), compressedLines + failed + noSignatureLines + readErrorLine);
    EXPECT_EQ(coded.csv, "");
    EXPECT_EQ(coded.exitCode, 2);

    // The block's stored check (the four bytes after its magic), and the stream's check (the last bytes).
    for (size_t offset : {size_t{10}, packed.size() - 2}) {
        SCOPED_TRACE("byte " + std::to_string(offset));
        FileConversion checked = convert(flipByte(packed, offset, 0x01));
        EXPECT_TRUE(afterFileLines(checked).ends_with(failed + "Conversion complete!\n" + readErrorLine))
            << checked.console;
        EXPECT_EQ(checked.csv, firstRows(GetParam(), 4));
        EXPECT_EQ(checked.exitCode, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(, DamagedDatabase, ::testing::ValuesIn(allVersions), versionParamName);

// Row: a length that cannot be a string ends the run at once.
TEST(DamagedDatabaseLengths, StringSizeOfAllOnesIsFatal) {
    TempDir dir;
    MarkedDatabase db = smallDatabase(Version::v1_7_8);
    std::string stored = db.bytes;
    // The path's length, after the filesystem's type.
    stored.replace(db.marks.filesystems[0] + 1, 1, "\xff\xff\xff\xff\xff");
    FileConversion fatal = convertFile(dir, stored);
    EXPECT_TRUE(fatal.console.ends_with("filesystem count: 1\nbad string size -1\n")) << fatal.console;
    EXPECT_EQ(fatal.csv, "");  // the header line was still in the buffer
    EXPECT_EQ(fatal.exitCode, 1);
}

std::string unknownFilesystemType() {
    DbBuilder unknown;
    unknown.header("QRTb", versionWord(1, 7, 8)).u32(0).u32(1).u32(1).compact(1).compact(7);
    unknown.compact(0).compact(0).compact(0).u32(1).u32(0).compact(3).compact(0).raw("Top");
    unknown.u32(0).compact(1).compact(0).raw("f");
    return unknown.bytes();
}

uint32_t storedU32(const std::string& bytes, uint64_t at) {
    catagen_test::ByteReader stored{bytes, at};
    return catagen_test::u32(stored);
}

// Rows: findings that are only warnings. Neither sets a flag; the conversion goes on.
TEST(DamagedDatabaseWarnings, FolderDecodeSizeMismatchAndUnknownFilesystemType) {
    TempDir dir;
    MarkedDatabase decode = smallDatabase(Version::v1_6_6);
    uint64_t at = *decode.marks.folderDecodeSize;
    uint32_t declared = storedU32(decode.bytes, at);
    FileConversion mismatch = convertFile(dir, overwriteU32(decode.bytes, at, declared + 5));
    std::string warning = "Loading folders...\nbad folder decode " + std::to_string(declared) +
                          " != " + std::to_string(declared + 5);
    EXPECT_NE(mismatch.console.find(warning + "\nLoading files...\n"), std::string::npos) << mismatch.console;
    EXPECT_EQ(mismatch.csv, firstRows(Version::v1_6_6, 5));
    EXPECT_EQ(mismatch.exitCode, 0);

    // A filesystem type the early table does not know: its entry has no more fields, and the records under
    // it carry their names alone, so this tree still reads in full.
    FileConversion typed = convertFile(dir, unknownFilesystemType());
    EXPECT_NE(typed.console.find("filesystem count: 1\nbad filesystem type 7\n"), std::string::npos)
        << typed.console;
    EXPECT_EQ(typed.csv, "Filename,Attributes\r\n\"Top\",16\r\n\"Top\\f\",0\r\n");
    EXPECT_EQ(typed.exitCode, 0);
}

// ---- The same through a pipe, and as several bzip2 streams ----
//
// A database of each row of the table, raw and bzip2-wrapped, and a database of three bzip2 blocks intact
// and damaged: read through a pipe, blocking or not, the program gives the rows, the console and the exit
// code it gives reading the same bytes from a file. The bzip2 data also comes as two streams, which must
// read as the one: a wrapped database split in its middle, and damaged bzip2 data after a stream of nothing
// (the damage then lies in the second stream).

struct Damaged {
    std::string name;
    std::string bytes;
    int exitCode = 2;
    std::string split = {};  // the same as two bzip2 streams; empty for raw data
};

std::vector<Damaged> damagedTable() {
    MarkedDatabase late = smallDatabase(Version::v1_7_20);
    MarkedDatabase early = smallDatabase(Version::v1_7_8);
    MarkedDatabase old6 = smallDatabase(Version::v1_6_6);
    const auto& decodeAt = *old6.marks.folderDecodeSize;
    std::string fatalLength = early.bytes;
    fatalLength.replace(early.marks.filesystems[0] + 1, 1, "\xff\xff\xff\xff\xff");
    std::vector<Damaged> raw = {
        {"Intact", late.bytes, 0},
        {"Empty", ""},
        {"CutInTheSignature", cut(late.bytes, 2)},
        {"CutInTheVersion", cut(late.bytes, 6)},
        {"CutAmongTheFolders", cut(late.bytes, late.marks.folders[1].end - 1)},
        {"CutAmongTheFiles", cut(late.bytes, late.marks.files[1].end - 1)},
        {"HugeCounts",
         overwriteU32(overwriteU32(late.bytes, late.marks.folderCount, ~0u), late.marks.fileCount, ~0u)},
        {"NameLongerThanTheData",
         restateCount(late.bytes, late.marks.files.back().name, 250, Version::v1_7_20)},
        {"StringSizeOfAllOnes", fatalLength, 1},
        {"UnknownSignature", "ABCD" + late.bytes.substr(4)},
        {"UnknownVersion", overwriteU32(late.bytes, 4, 0x01070009)},
        {"DecodeSizeMismatch", overwriteU32(old6.bytes, decodeAt, storedU32(old6.bytes, decodeAt) + 5), 0},
        {"UnknownFilesystemType", unknownFilesystemType(), 0},
    };
    std::vector<Damaged> table = raw;
    for (const Damaged& row : raw) {
        table.push_back({row.name + "Wrapped", bzip2(row.bytes), row.exitCode, inTwoStreams(row.bytes)});
    }
    std::string packed = bzip2(late.bytes);
    std::vector<Damaged> compressed = {
        {"Bzip2Cut", cut(packed, packed.size() / 2)},
        {"Bzip2CutInTheEndMark", cut(packed, packed.size() - 3)},
        {"Bzip2CodedDataDamaged", flipByte(packed, 15, 0x5A)},
        {"Bzip2BlockCheckDamaged", flipByte(packed, 10, 0x01)},
        {"Bzip2StreamCheckDamaged", flipByte(packed, packed.size() - 2, 0x01)},
    };
    for (Damaged& row : compressed) row.split = bzip2("") + row.bytes;
    table.insert(table.end(), compressed.begin(), compressed.end());
    return table;
}

// Made when its test runs, not each time the tests are listed: compressing three blocks takes a while.
std::vector<Damaged> threeBlockTable() {
    ThreeBlocks three = threeBlocks();
    size_t secondBlock = static_cast<size_t>(three.marks[1].bit / 8);
    std::vector<Damaged> table = {
        {"ThreeBlocks", three.packed, 0},
        {"ThreeBlocksCutInTheThird",
         cut(three.packed, static_cast<size_t>((three.marks[2].bit + three.marks[3].bit) / 16))},
        {"ThreeBlocksSecondHeaderDamaged", flipByte(three.packed, secondBlock + 14, 0x5A)},
        {"ThreeBlocksSecondCheckDamaged", flipByte(three.packed, secondBlock + 8, 0x01)},
        {"ThreeBlocksDataAfterTheEnd", three.packed + std::string(70000, '\x42'), 0},
    };
    for (Damaged& row : table) row.split = bzip2("") + row.bytes;
    return table;
}

void expectPipesGiveWhatTheFileGives(const Damaged& damaged) {
    TempDir dir;
    FileConversion file = convertFile(dir, damaged.bytes);
    EXPECT_EQ(file.exitCode, damaged.exitCode);
    std::vector<std::pair<const char*, FileConversion>> others;
    others.emplace_back("pipe", convertPiped(dir, damaged.bytes));
    others.emplace_back("non-blocking pipe", convertPiped(dir, damaged.bytes, true));
    if (!damaged.split.empty()) {
        others.emplace_back("two streams", convertFile(dir, damaged.split));
        others.emplace_back("two streams through a non-blocking pipe",
                            convertPiped(dir, damaged.split, true));
    }
    for (const auto& [how, other] : others) {
        SCOPED_TRACE(how);
        EXPECT_EQ(afterFileLines(other), afterFileLines(file));
        EXPECT_EQ(other.csv, file.csv);
        EXPECT_EQ(other.exitCode, file.exitCode);
    }
}

class ThroughAPipe : public ::testing::TestWithParam<Damaged> {};
void PrintTo(const Damaged& damaged, std::ostream* out) { *out << damaged.name; }

TEST_P(ThroughAPipe, GivesWhatTheFileGives) { expectPipesGiveWhatTheFileGives(GetParam()); }

INSTANTIATE_TEST_SUITE_P(, ThroughAPipe, ::testing::ValuesIn(damagedTable()),
                         [](const auto& test) { return test.param.name; });

TEST(ThroughAPipeInThreeBlocks, GivesWhatTheFileGives) {
    for (const Damaged& damaged : threeBlockTable()) {
        SCOPED_TRACE(damaged.name);
        expectPipesGiveWhatTheFileGives(damaged);
    }
}

}  // namespace
}  // namespace catadump::test
