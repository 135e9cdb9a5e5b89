// The damaged databases of the README's table ("What happens with a damaged database") that need the built
// program or a layout of their own: it converts a file, and each case checks the console lines, the rows
// kept and the exit code. Cuts at every byte, overstated counts and lengths and the structural errors of
// every version are in damaged_input_test.cpp.
#include <algorithm>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

#include "stream/bzip2_blocks.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

using namespace std::string_literals;

const std::string readErrorLine = "Error: Encounted atleast one read error\n";
const std::string corruptLine = "Error: database corrupt\n";
const std::string compressedLines = "Magic BZh9\nDatabase is compressed, decompressing with bz2...\n";
const std::string noSignatureLines = "Magic \0\0\0\0\nUnknown DB type 00000000 \0\0\0\0\n"s;

// ---- Small databases of every version ----
//
// Each holds the same tree: a root folder and a folder inside it, a file in each. A case that damages a
// database passes the stored fields it changes; everything else is the intact value.

// A front-coded name: suffix length, strip count and suffix, with compact counts (1.7) or bytes (1.6).
std::string nameField(Version version, uint32_t strip, std::string_view suffix) {
    DbBuilder field;
    auto count = [&](uint32_t value) {
        if (isQwtb(version)) {
            field.u8(static_cast<uint8_t>(value));
        } else {
            field.compact(value);
        }
    };
    count(static_cast<uint32_t>(suffix.size()));
    count(strip);
    field.raw(suffix);
    return field.bytes();
}

struct Tree {
    Version version;
    uint32_t folderCount = 2;
    uint32_t fileCount = 2;
    // 1.7: parent references (below 2 a folder, 2 the only filesystem). 1.6: parent decode offsets; the
    // root folder's slot starts at 0 and the other folder's at 18 (1.6.6) or 19 (1.6.7).
    std::vector<uint32_t> folderParents;
    std::vector<uint32_t> fileParents;
    std::vector<std::string> folderNames;  // stored name fields; 1.6.7 has none for its root folder
    std::vector<std::string> fileNames;
    uint32_t folderDecodeSize = 35;  // 1.6: both slots, 18 + 17 or 19 + 16
    uint32_t fileSystemType = 0;     // 1.6.7
    uint32_t rootFileSystem = 0;     // 1.6.7
    std::string filesystemPath = "D:\\Data";  // 1.7: the FOLDER filesystem's path as a counted string
    bool longPathLength = false;              // write that length as 255 and a u32

    explicit Tree(Version v) : version(v) {
        if (isQwtb(v)) {
            uint32_t secondSlot = v == Version::v1_6_6 ? 18 : 19;
            folderParents = {0xFFFFFFFF, 0};
            fileParents = {0, secondSlot};
        } else {
            folderParents = {2, 0};
            fileParents = {0, 1};
        }
        // 1.6.7 root folders take no part in the front coding: "Sub" is coded against the empty name there.
        folderNames = {nameField(v, 0, "Root"), nameField(v, v == Version::v1_6_7 ? 0 : 4, "Sub")};
        fileNames = {nameField(v, 0, "a"), nameField(v, 1, "b")};
    }

    std::string bytes() const;
};

std::string Tree::bytes() const {
    DbBuilder b;
    switch (version) {
    case Version::v1_6_6:
        b.header("QWTB", versionWord(1, 6, 6)).u32(0).u32(folderCount).u32(fileCount).u32(folderDecodeSize).u32(0);
        b.repeat(26, 0);  // no drive included
        b.u32(0);         // exclude list
        for (size_t i = 0; i < folderNames.size(); ++i) {
            b.u8(0).repeat(8, 0).u32(folderParents[i]).u32(0).raw(folderNames[i]);
        }
        break;
    case Version::v1_6_7:
        b.header("QWTB", versionWord(1, 6, 7)).u32(0).u32(folderCount).u32(fileCount).u32(folderDecodeSize).u32(0);
        b.u32(0).u32(0);
        b.compact(1).compact(fileSystemType).str("C:").str("guid").u32(0).u64(0).u64(0);
        b.compact(0);  // mount point monitors
        b.compact(0);  // exclude list
        for (size_t i = 0; i < folderNames.size(); ++i) {
            b.repeat(8, 0).u32(folderParents[i]).u32(0);
            if (folderParents[i] == 0xFFFFFFFF) {
                b.compact(rootFileSystem);  // the root folder takes its file system's path as its name
            } else {
                b.raw(folderNames[i]);
            }
        }
        break;
    default: {
        bool late = isLate(version);
        uint32_t build = version == Version::v1_7_5 ? 5 : version == Version::v1_7_8 ? 8 : version == Version::v1_7_17 ? 17 : 20;
        b.header("QRTb", versionWord(1, 7, build)).u32(0).u32(folderCount).u32(fileCount);
        if (version == Version::v1_7_5) b.u32(0);  // decode size
        b.compact(1).compact(2);                  // one filesystem, of type FOLDER
        if (late) b.u8(0);                        // out of date
        if (longPathLength) {
            b.strLong(filesystemPath);
        } else {
            b.str(filesystemPath);
        }
        if (late) {
            b.u64(0).u8(0);  // next update; exclude flags
        } else {
            b.u8(0).u8(0).u32(0).u64(0);
        }
        b.compact(0).compact(0).compact(0);  // three blob lists
        for (uint32_t parent : folderParents) b.u32(parent);
        if (!late && !folderParents.empty()) b.u32(0);  // NTFS folder count
        for (const std::string& name : folderNames) b.raw(name);
        break;
    }
    }
    for (size_t i = 0; i < fileNames.size(); ++i) b.u32(fileParents[i]).raw(fileNames[i]);
    return b.bytes();
}

// The rows of the intact tree.
std::vector<std::string> intactRows(Version version) {
    if (isLate(version)) {
        return {"Filename,Size,Date Created,Date Modified,Date Accessed,Attributes\r\n",
                "\"Root\",0,0,0,0,16\r\n", "\"Root\\Sub\",0,0,0,0,16\r\n", "\"Root\\a\",0,0,0,0,0\r\n",
                "\"Root\\Sub\\b\",0,0,0,0,0\r\n"};
    }
    std::string root = version == Version::v1_6_7 ? "C:" : "Root";
    return {"Filename,Attributes\r\n", "\"" + root + "\",16\r\n", "\"" + root + "\\Sub\",16\r\n",
            "\"" + root + "\\a\",0\r\n", "\"" + root + "\\Sub\\b\",0\r\n"};
}

// The first `count` rows of the intact tree (the header line counts as one).
std::string firstRows(Version version, size_t count) {
    std::vector<std::string> rows = intactRows(version);
    std::string csv;
    for (size_t i = 0; i < count && i < rows.size(); ++i) csv += rows[i];
    return csv;
}

std::vector<std::string> splitRows(const std::string& csv) {
    std::vector<std::string> rows;
    size_t start = 0;
    while (start < csv.size()) {
        size_t end = csv.find("\r\n", start);
        if (end == std::string::npos) end = csv.size() - 2;
        rows.push_back(csv.substr(start, end + 2 - start));
        start = end + 2;
    }
    return rows;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The console after the program's two file lines.
std::string afterFileLines(const FileConversion& run) {
    std::string lines = run.databasePath + " opened for reading...\n" + run.outputPath + " created for writing...\n";
    EXPECT_EQ(run.console.substr(0, lines.size()), lines);
    return run.console.substr(std::min(lines.size(), run.console.size()));
}

class DamagedDatabase : public ::testing::TestWithParam<Version> {
protected:
    FileConversion convert(const std::string& stored) { return convertFile(dir, stored); }
    TempDir dir;
};

// Row: a bzip2-wrapped database cut in a later block keeps what the whole blocks before the cut hold: the
// rows of a raw copy cut where those blocks' data ends.
TEST(DamagedDatabaseBlocks, CompressedFileCutInItsThirdBlockKeepsTheRowsOfTheFirstTwo) {
    // One folder and thousands of files with names that barely compress: three blocks of 100 kB.
    const uint32_t fileCount = 5500;
    std::string noise = noisyBytes(size_t{fileCount} * 40, 7);
    DbBuilder db;
    db.header("QRTb", versionWord(1, 7, 8)).u32(0).u32(1).u32(fileCount);
    db.compact(1).compact(2).str("D:").u8(0).u8(0).u32(0).u64(0).compact(0).compact(0).compact(0);
    db.u32(1).u32(0).raw(nameField(Version::v1_7_8, 0, "Top"));
    uint32_t previousLength = 0;
    for (uint32_t i = 0; i < fileCount; ++i) {
        std::string name = noise.substr(size_t{i} * 40, 40);
        for (char& c : name) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
        db.u32(0).raw(nameField(Version::v1_7_8, previousLength, name));
        previousLength = 40;
    }
    std::string packed = bzip2(db.bytes(), 1);
    packed[3] = '9';  // the header the program takes for bzip2; blocks of any size fit under it
    std::vector<MagicMark> marks;
    findMagics(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), 0, marks);
    ASSERT_EQ(marks.size(), 4u);
    size_t wholeBlocksData = 0;
    for (int block = 0; block < 2; ++block) {
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(decodeOneBlockStream(
            oneBlockStream(reinterpret_cast<const uint8_t*>(packed.data()), marks[block].bit, marks[block + 1].bit),
            decoded, size_t{1} << 24));
        wholeBlocksData += decoded.size();
    }

    TempDir dir;
    FileConversion raw = convertFile(dir, cut(db.bytes(), wholeBlocksData));
    std::string rawConsole = afterFileLines(raw);
    FileConversion run = convertFile(dir, cut(packed, static_cast<size_t>((marks[2].bit + marks[3].bit) / 16)));
    std::string console = afterFileLines(run);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.csv, raw.csv);
    EXPECT_GT(splitRows(*run.csv).size(), 2000u);
    std::smatch failure;
    ASSERT_TRUE(std::regex_search(console, failure, std::regex("ReadFile\\(\\): -?[0-9]+: Failed to read\\.\n")));
    EXPECT_EQ(console.substr(0, static_cast<size_t>(failure.position())) + failure.suffix().str(),
              compressedLines + rawConsole);
}

// Row: corrupt bzip2 data. Damage that stops the library before the block's bytes come out leaves no data;
// damage that only the block's check or the stream's check finds is met at the block's last byte, which the
// library produces in the call that checks it: the read of the last record's last field fails, and that
// record has no row.
TEST_P(DamagedDatabase, CorruptCompressedData) {
    std::string intact = Tree(GetParam()).bytes();
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
        EXPECT_TRUE(endsWith(afterFileLines(checked), failed + "Conversion complete!\n" + readErrorLine))
            << checked.console;
        EXPECT_EQ(checked.csv, firstRows(GetParam(), 4));
        EXPECT_EQ(checked.exitCode, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(, DamagedDatabase, ::testing::ValuesIn(allVersions), versionParamName);

// Row: a length that cannot be a string ends the run at once.
TEST(DamagedDatabaseLengths, StringSizeOfAllOnesIsFatal) {
    TempDir dir;
    Tree badLength(Version::v1_7_8);
    badLength.filesystemPath = "";
    badLength.longPathLength = true;
    std::string stored = badLength.bytes();
    std::string lengthField = "\xff\x00\x00\x00\x00"s;
    size_t at = stored.find(lengthField);
    ASSERT_NE(at, std::string::npos);
    stored.replace(at, lengthField.size(), "\xff\xff\xff\xff\xff");
    FileConversion fatal = convertFile(dir, stored);
    EXPECT_TRUE(endsWith(fatal.console, "filesystem count: 1\nbad string size -1\n")) << fatal.console;
    EXPECT_EQ(fatal.csv, "");  // the header line was still in the buffer
    EXPECT_EQ(fatal.exitCode, 1);
}

// ---- Structural errors ----
//
// The 1.6.7 file system checks, through the program: each prints its own line, then "Conversion complete!",
// and the run ends with "Error: database corrupt" and exit code 2. Both stop among the folders, which leaves
// only the header line, since folder rows are written once every folder record is read.

struct StructuralError {
    std::string name;
    Version version;
    void (*damage)(Tree& tree);
    std::string line;
    size_t rowsKept;  // the header line counts as one
};
void PrintTo(const StructuralError& error, std::ostream* out) { *out << error.name; }

std::vector<StructuralError> structuralErrors() {
    return {
        {"BadFileSystemType", Version::v1_6_7, [](Tree& t) { t.fileSystemType = 1; },
         "bad file system type 1\n", 1},
        {"RootFileSystemIndexOutOfRange", Version::v1_6_7, [](Tree& t) { t.rootFileSystem = 3; },
         "root folder 0: file system 3 is not in the file system list of 1\n", 1},
    };
}

class StructuralErrors : public ::testing::TestWithParam<StructuralError> {};

TEST_P(StructuralErrors, PrintTheirLineAndKeepTheRowsBeforeThem) {
    const StructuralError& error = GetParam();
    Tree tree(error.version);
    error.damage(tree);
    TempDir dir;
    FileConversion run = convertFile(dir, tree.bytes());
    EXPECT_TRUE(endsWith(run.console, error.line + "Conversion complete!\n" + corruptLine)) << run.console;
    EXPECT_EQ(run.csv, firstRows(error.version, error.rowsKept));
    EXPECT_EQ(run.exitCode, 2);
}

INSTANTIATE_TEST_SUITE_P(, StructuralErrors, ::testing::ValuesIn(structuralErrors()),
                         [](const auto& test) { return test.param.name; });

// Rows: findings that are only warnings. Neither sets a flag; the conversion goes on.
TEST(DamagedDatabaseWarnings, FolderDecodeSizeMismatchAndUnknownFilesystemType) {
    TempDir dir;
    Tree decode(Version::v1_6_6);
    decode.folderDecodeSize = 40;
    FileConversion mismatch = convertFile(dir, decode.bytes());
    EXPECT_NE(mismatch.console.find("Loading folders...\nbad folder decode 35 != 40\nLoading files...\n"),
              std::string::npos)
        << mismatch.console;
    EXPECT_EQ(mismatch.csv, firstRows(Version::v1_6_6, 5));
    EXPECT_EQ(mismatch.exitCode, 0);

    // A filesystem type the early table does not know: its entry has no more fields, and the records under
    // it carry their names alone, so this tree still reads in full.
    DbBuilder unknown;
    unknown.header("QRTb", versionWord(1, 7, 8)).u32(0).u32(1).u32(1).compact(1).compact(7);
    unknown.compact(0).compact(0).compact(0).u32(1).u32(0).raw(nameField(Version::v1_7_8, 0, "Top"));
    unknown.u32(0).raw(nameField(Version::v1_7_8, 0, "f"));
    FileConversion typed = convertFile(dir, unknown.bytes());
    EXPECT_NE(typed.console.find("filesystem count: 1\nbad filesystem type 7\n"), std::string::npos) << typed.console;
    EXPECT_EQ(typed.csv, "Filename,Attributes\r\n\"Top\",16\r\n\"Top\\f\",0\r\n");
    EXPECT_EQ(typed.exitCode, 0);
}

} // namespace
} // namespace catadump::test
