// The records of QRTb databases in all four versions: front-coded names, parent references, the bytes each
// filesystem type adds to a record, and the rows they give. Every case converts a whole database and
// compares the CSV bytes, the console and the flags exactly.
#include <ostream>
#include <string>
#include <vector>

#include "reader17_fixture.h"

namespace catadump::test {
namespace {

class QrtbRecords : public ::testing::TestWithParam<Version> {
  protected:
    Version v() const { return GetParam(); }

    // A folder row as it reads when the database stores no value fields.
    std::string folderRow(const std::string& path) const {
        return "\"" + path + closing(v(), true, {0, 0, 0, 0, 16});
    }
    std::string fileRow(const std::string& path) const { return "\"" + path + closing(v(), false, {}); }

    // Converts the tree and expects a clean, complete run that writes exactly these rows.
    void expectRows(const Tree& tree, const std::vector<std::string>& rows) const {
        InMemoryConversion result = convertInMemory(database(tree, v()));
        std::string csv = headerLineOf(v());
        for (const std::string& row : rows) csv += row;
        EXPECT_EQ(result.csv, csv);
        EXPECT_EQ(consoleFrom(result.console, "Loading"), recordLines(v(), tree.ntfsFolders));
        EXPECT_FALSE(result.flags.readError);
        EXPECT_FALSE(result.flags.corrupt);
    }
};

TEST_P(QrtbRecords, FolderRowsComeFirstThenEachFileUnderItsPath) {
    Tree tree;
    tree.folders = {{.parent = 2, .name = "docs"}, {.parent = 0, .name = "old"}};
    tree.files = {{.parent = 1, .name = "a.txt"}, {.parent = 0, .name = "b.txt"}};
    expectRows(tree, {folderRow("docs"), folderRow("docs\\old"), fileRow("docs\\old\\a.txt"),
                      fileRow("docs\\b.txt")});
}

TEST_P(QrtbRecords, FrontCodedNames) {
    Tree tree;
    tree.folders = {
        {.parent = 5, .name = "alpha"},
        {.parent = 5, .name = ""},                  // suffix length 0: "alpha" again, no strip count read
        {.parent = 5, .name = "beta", .strip = 5},  // strip count equal to the previous length
        {.parent = 5, .name = "betamax", .longCounts = true},  // "max" after strip 0, both counts 255 + u32
        {.parent = 5, .name = "be\"t,a"},                      // quote and comma are written unchanged
    };
    tree.files = {
        {.parent = 2, .name = ""},  // the first file starts from the empty name, not "be"t,a"
        {.parent = 5, .name = "abc", .strip = 0},
        {.parent = 5, .name = ""},
        {.parent = 5, .name = "ab", .strip = 1, .longCounts = true},  // "ab" + "ab", counts as 255 + u32
        {.parent = 5, .name = std::string(300, 'n')},                 // a suffix length of 255 or more
    };
    expectRows(tree, {
                         folderRow("alpha"),
                         folderRow("alpha"),
                         folderRow("beta"),
                         folderRow("betamax"),
                         folderRow("be\"t,a"),
                         fileRow("beta\\"),
                         fileRow("abc"),
                         fileRow("abc"),
                         fileRow("abab"),
                         fileRow(std::string(300, 'n')),
                     });
}

// A zero byte ends a name in its row, while the next name keeps its prefix from every decoded byte.
TEST_P(QrtbRecords, ZeroByteInsideANameCutsOnlyTheRow) {
    using namespace std::string_literals;
    Tree tree;
    tree.folders = {{.parent = 2, .name = "ab\0cd"s}, {.parent = 0, .name = "sub"}};
    tree.files = {
        {.parent = 1, .name = "x\0yz"s},
        {.parent = 1, .name = "Q", .strip = 2},  // keeps "x\0" of four bytes
        {.parent = 1, .name = "Z", .strip = 2},  // keeps "x" of "x\0Q": a strip longer than the row's "x"
    };
    expectRows(tree, {folderRow("ab"), folderRow("ab\\sub"), fileRow("ab\\sub\\x"), fileRow("ab\\sub\\x"),
                      fileRow("ab\\sub\\xZ")});

    // Had the zero byte ended the previous name, a strip of four would have been rejected.
    Tree folders;
    folders.folders = {{.parent = 2, .name = "ab\0cd"s}, {.parent = 2, .name = "W", .strip = 4}};
    expectRows(folders, {folderRow("ab"), folderRow("aW")});
}

TEST_P(QrtbRecords, ParentReferencesNameFoldersBeforeOrAfterAndTheLastFilesystem) {
    Tree tree;
    tree.filesystems = {{2}, {2}};  // folders 0 to 3, filesystems 4 and 5
    tree.folders = {
        {.parent = 2, .name = "child"},  // its parent comes later
        {.parent = 0, .name = "leaf"},
        {.parent = 5, .name = "top"},  // F + S - 1: the last filesystem
        {.parent = 4, .name = "other"},
    };
    tree.files = {{.parent = 5, .name = "f1"}, {.parent = 1, .name = "f2"}, {.parent = 3, .name = "f3"}};
    expectRows(tree,
               {folderRow("top\\child"), folderRow("top\\child\\leaf"), folderRow("top"), folderRow("other"),
                fileRow("f1"), fileRow("top\\child\\leaf\\f2"), fileRow("other\\f3")});
}

// With no folders the file records follow the third blob list directly and every file hangs from a
// filesystem; with no files the folder rows are the whole output.
TEST_P(QrtbRecords, NoFolders) {
    Tree tree;
    tree.filesystems = {{2}, {0}, {1}};
    tree.files = {{.parent = 0, .name = "one"},
                  {.parent = 1, .name = "two"},
                  {.parent = 2, .name = "three", .recordFlags = 0x0F, .optional = 28}};
    InMemoryConversion result = convertInMemory(database(tree, v()));
    EXPECT_EQ(result.csv, headerLineOf(v()) + fileRow("one") + fileRow("two") + fileRow("three"));
    EXPECT_EQ(consoleFrom(result.console, "Loading"), "Loading files...\nConversion complete!\n");
    EXPECT_FALSE(result.flags.readError);
    EXPECT_FALSE(result.flags.corrupt);
}

TEST_P(QrtbRecords, NoFiles) {
    Tree tree;
    tree.folders = {{.parent = 1, .name = "only"}};
    InMemoryConversion result = convertInMemory(database(tree, v()));
    EXPECT_EQ(result.csv, headerLineOf(v()) + folderRow("only"));
    EXPECT_EQ(consoleFrom(result.console, "Loading"), recordLines(v()));
    EXPECT_FALSE(result.flags.readError);
}

TEST_P(QrtbRecords, NoFoldersAndNoFiles) {
    Tree tree;
    InMemoryConversion result = convertInMemory(database(tree, v()));
    EXPECT_EQ(result.csv, headerLineOf(v()));
    EXPECT_EQ(consoleFrom(result.console, "Loading"), "Loading files...\nConversion complete!\n");
    EXPECT_FALSE(result.flags.readError);
}

// NTFS folders carry 8 more bytes (after the value fields in 1.7.17/1.7.20), type-3 folders 16 (late
// table only), type-1 records a flag byte before the name; files add nothing for their type.
TEST_P(QrtbRecords, EachRecordFollowsTheTypeOfItsOwnFilesystem) {
    Tree tree = richTree(v());
    std::vector<std::string> rows = richFolderRows(v());
    for (const std::string& row : richFileRows(v())) rows.push_back(row);
    expectRows(tree, rows);
}

// 1.7.5 and 1.7.8: bits 0x01, 0x02 and 0x04 of the flag byte announce 4, 8 and 8 bytes after the name,
// bit 0x08 another 8 in file records only; 1.7.17 and 1.7.20 keep the byte but announce nothing.
TEST_P(QrtbRecords, TypeOneRecordFlagByte) {
    struct Case {
        uint8_t flags;
        uint32_t folderBytes;
        uint32_t fileBytes;
    };
    const Case cases[] = {{0x00, 0, 0}, {0x01, 4, 4},   {0x02, 8, 8}, {0x04, 8, 8},
                          {0x08, 0, 8}, {0x0F, 20, 28}, {0xF0, 0, 0}, {0xFF, 20, 28}};
    Tree tree;
    tree.filesystems = {{1}};
    std::vector<std::string> folderRows, fileRows;
    char name = 'a';
    for (const Case& c : cases) {
        std::string folder(1, name), file(2, name);
        ++name;
        tree.folders.push_back(
            {.parent = 8, .name = folder, .recordFlags = c.flags, .optional = c.folderBytes});
        tree.files.push_back({.parent = 0, .name = file, .recordFlags = c.flags, .optional = c.fileBytes});
        folderRows.push_back(folderRow(folder));
        fileRows.push_back(fileRow("a\\" + file));
    }
    for (const std::string& row : fileRows) folderRows.push_back(row);
    expectRows(tree, folderRows);
}

TEST_P(QrtbRecords, FilesystemTypeInLongFormChoosesTheSameLayout) {
    Tree tree;
    tree.filesystems = {{0, true}, {1, true}};
    tree.folders = {{.parent = 2, .name = "ntfs"},
                    {.parent = 3, .name = "plain", .recordFlags = 0x07, .optional = 20}};
    tree.files = {{.parent = 0, .name = "f"}, {.parent = 1, .name = "g", .recordFlags = 0x08, .optional = 8}};
    expectRows(tree, {folderRow("ntfs"), folderRow("plain"), fileRow("ntfs\\f"), fileRow("plain\\g")});
}

INSTANTIATE_TEST_SUITE_P(, QrtbRecords, ::testing::ValuesIn(qrtbVersions),
                         [](const auto& test) { return versionName(test.param); });

// ---- The versions of each layout ----

// Removes the first line that equals `line` (with its "\n").
std::string withoutLine(std::string text, const std::string& line) {
    size_t at = text.find(line + "\n");
    if (at != std::string::npos) text.erase(at, line.size() + 1);
    return text;
}

TEST(QrtbVersions, Early175And178DifferOnlyInTheDecodeSizeLine) {
    Tree tree175 = richTree(Version::v1_7_5);
    tree175.decodeSize = 0x12345;
    InMemoryConversion v175 = convertInMemory(database(tree175, Version::v1_7_5));
    InMemoryConversion v178 = convertInMemory(database(richTree(Version::v1_7_8), Version::v1_7_8));

    EXPECT_EQ(v175.csv, v178.csv);
    ASSERT_NE(v175.console.find("decode size: 74565 (ignored)\n"), std::string::npos) << v175.console;
    EXPECT_EQ(withoutLine(readerLines(v175.console), "decode size: 74565 (ignored)"),
              readerLines(v178.console));
    EXPECT_TRUE(v175.console.starts_with("Magic QRTb\nVersion 1.7.5\n")) << v175.console;
    EXPECT_FALSE(v175.flags.readError || v175.flags.corrupt || v178.flags.readError || v178.flags.corrupt);
}

TEST(QrtbVersions, Late1717And1720GiveIdenticalBytes) {
    InMemoryConversion v1717 = convertInMemory(database(richTree(Version::v1_7_17), Version::v1_7_17));
    InMemoryConversion v1720 = convertInMemory(database(richTree(Version::v1_7_20), Version::v1_7_20));
    EXPECT_EQ(v1717.csv, v1720.csv);
    EXPECT_EQ(v1717.csv.substr(0, headerLineOf(Version::v1_7_17).size()), headerLineOf(Version::v1_7_17));
    EXPECT_EQ(readerLines(v1717.console), readerLines(v1720.console));
    EXPECT_NE(v1717.console, v1720.console);  // only the version line differs
    EXPECT_FALSE(v1717.flags.readError || v1717.flags.corrupt);
}

// In 1.7.5 and 1.7.8 the flags word is printed and changes nothing in how the records are read.
TEST(QrtbVersions, EarlyFlagsWordOnlyPrints) {
    struct Case {
        uint32_t flags;
        std::string lines;
    };
    const Case cases[] = {
        {0x00000006, "flags 00000006\nhidden files and folders exluded\nsystem files and folders exluded\n"},
        {0x00000002, "flags 00000002\nhidden files and folders exluded\n"},
        {0x00000004, "flags 00000004\nsystem files and folders exluded\n"},
        {0xFFFFFFF9, "flags fffffff9\n"},
        {0xFFFFFFFF, "flags ffffffff\nhidden files and folders exluded\nsystem files and folders exluded\n"},
    };
    for (Version v : earlyQrtbVersions) {
        for (const Case& c : cases) {
            SCOPED_TRACE(versionName(v) + " " + c.lines);
            Tree tree = richTree(v);
            tree.flags = c.flags;
            InMemoryConversion result = convertInMemory(database(tree, v));
            std::string rows;
            for (const std::string& row : richFolderRows(v)) rows += row;
            for (const std::string& row : richFileRows(v)) rows += row;
            EXPECT_EQ(result.csv, headerLineOf(v) + rows);
            EXPECT_TRUE(readerLines(result.console).starts_with(c.lines + "number of folders: 8\n"))
                << result.console;
            EXPECT_EQ(consoleFrom(result.console, "Loading"), recordLines(v, tree.ntfsFolders));
        }
    }
}

// ---- Value columns of 1.7.17 and 1.7.20 ----

struct ValueCase {
    std::string name;
    uint32_t flags;
    Values folderShown;
    Values fileShown;
};

void PrintTo(const ValueCase& c, std::ostream* out) { *out << c.name; }

constexpr uint64_t largest = 0xFFFFFFFFFFFFFFFF;

// The folder "dir" stores {7, 100, 200, 300, 1} and the file "f" {512, 400, 500, 600, 32}, each field
// only when the flags word selects it.
const ValueCase valueCases[] = {
    {"None", 0x00, {0, 0, 0, 0, 16}, {0, 0, 0, 0, 0}},
    {"FileSize", 0x01, {0, 0, 0, 0, 16}, {512, 0, 0, 0, 0}},
    {"FolderSize", 0x20, {7, 0, 0, 0, 16}, {0, 0, 0, 0, 0}},
    {"CreatedAndModified", 0x06, {0, 100, 200, 0, 16}, {0, 400, 500, 0, 0}},
    {"Accessed", 0x08, {0, 0, 0, 300, 16}, {0, 0, 0, 600, 0}},
    {"AttributesAsStored", 0x10, {0, 0, 0, 0, 1}, {0, 0, 0, 0, 32}},
    {"Everything", 0x3F, {7, 100, 200, 300, 1}, {512, 400, 500, 600, 32}},
    {"OtherBitsIgnored", 0xFFFFFFC0, {0, 0, 0, 0, 16}, {0, 0, 0, 0, 0}},
};

class QrtbValues : public ::testing::TestWithParam<std::tuple<Version, ValueCase>> {};

TEST_P(QrtbValues, FlagsWordChoosesTheStoredFields) {
    auto [v, c] = GetParam();
    for (uint32_t type : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE("filesystem type " + std::to_string(type));
        Tree tree;
        tree.flags = c.flags;
        tree.filesystems = {{type}};
        tree.folders = {{.parent = 1, .name = "dir", .recordFlags = 0xFF, .values = {7, 100, 200, 300, 1}}};
        tree.files = {{.parent = 0, .name = "f", .recordFlags = 0xFF, .values = {512, 400, 500, 600, 32}},
                      {.parent = 1, .name = "g", .values = {512, 400, 500, 600, 32}}};
        InMemoryConversion result = convertInMemory(database(tree, v));
        EXPECT_EQ(result.csv, headerLineOf(v) + "\"dir" + closing(v, true, c.folderShown) + "\"dir\\f" +
                                  closing(v, false, c.fileShown) + "\"g" + closing(v, false, c.fileShown));
        EXPECT_EQ(consoleFrom(result.console, "Loading"), recordLines(v));
        EXPECT_FALSE(result.flags.readError);
    }
}

INSTANTIATE_TEST_SUITE_P(, QrtbValues,
                         ::testing::Combine(::testing::ValuesIn(lateQrtbVersions),
                                            ::testing::ValuesIn(valueCases)),
                         [](const auto& test) {
                             return versionName(std::get<0>(test.param)) + "_" + std::get<1>(test.param).name;
                         });

// The longest value columns there are, in rows enough to cross the output buffer's end many times.
TEST(QrtbValueColumns, LargestNumbersInFull) {
    Tree tree;
    tree.flags = 0x3F;
    tree.folders = {{.parent = 1, .name = "d", .values = {largest, largest, largest, largest, 0xFFFFFFFF}}};
    tree.files = {{.parent = 0, .name = "f", .values = {largest, largest - 1, 0, 1, 0}}};
    for (int i = 0; i < 3000; ++i)
        tree.files.push_back(
            {.parent = 1, .name = "g", .values = {largest, largest, largest, largest, 0xFFFFFFFF}});
    std::string csv = headerLineOf(Version::v1_7_20) +
                      "\"d\",18446744073709551615,18446744073709551615,18446744073709551615,"
                      "18446744073709551615,4294967295\r\n"
                      "\"d\\f\",18446744073709551615,18446744073709551614,0,1,0\r\n";
    for (int i = 0; i < 3000; ++i) {
        csv += "\"g\",18446744073709551615,18446744073709551615,18446744073709551615,18446744073709551615,"
               "4294967295\r\n";
    }
    InMemoryConversion result = convertInMemory(database(tree, Version::v1_7_20));
    EXPECT_TRUE(result.csv == csv);
    EXPECT_EQ(result.csv.size(), csv.size());
    EXPECT_EQ(result.csv.substr(0, 300), csv.substr(0, 300));
}

// The example of the two value layouts, spelled out byte by byte: a root folder docs, its folder old and
// the file a.txt in old.
std::string workedExample(uint32_t build, uint32_t flags) {
    DbBuilder b;
    b.header("QRTb", versionWord(1, 7, build)).u32(flags).u32(2).u32(1);
    b.compact(1).compact(2).u8(0).str("D:\\").u64(0x1234);  // one FOLDER filesystem, not out of date
    b.u8(0).blobList({}).blobList({}).blobList({});         // exclude flags, three empty blob lists
    b.u32(2).u32(0);                                        // docs: filesystem 0; old: folder 0
    b.compact(4).compact(0).raw("docs").u32(16);
    b.compact(3).compact(4).raw("old").u32(16);
    b.u32(1).compact(5).compact(0).raw("a.txt");  // a.txt in old; the file list starts empty
    if (flags & 0x01) b.u64(512);
    b.u32(32);
    return b.bytes();
}

TEST(QrtbValueColumns, WorkedExample) {
    const std::string header = "Filename,Size,Date Created,Date Modified,Date Accessed,Attributes\r\n";
    for (uint32_t build : {17u, 20u}) {
        SCOPED_TRACE(build);
        InMemoryConversion attributes = convertInMemory(workedExample(build, 0x10));
        EXPECT_EQ(attributes.csv, header + "\"docs\",0,0,0,0,16\r\n"
                                           "\"docs\\old\",0,0,0,0,16\r\n"
                                           "\"docs\\old\\a.txt\",0,0,0,0,32\r\n");
        EXPECT_EQ(readerLines(attributes.console), "flags 00000010\n"
                                                   "number of folders: 2\n"
                                                   "number of files: 1\n"
                                                   "filesystem count: 1\n"
                                                   "filesystem 0: type 2\n"
                                                   "filesystem 0: out of date 0\n"
                                                   "filesystem 0: FOLDER: path: D:\\\n"
                                                   "filesystem 0: FOLDER: next update: 0000000000001234\n"
                                                   "Exclude flags 00\n"
                                                   "Loading Hierarchy...\n"
                                                   "Loading folders...\n"
                                                   "Loading files...\n"
                                                   "Conversion complete!\n");
        EXPECT_FALSE(attributes.flags.readError || attributes.flags.corrupt);

        InMemoryConversion sized = convertInMemory(workedExample(build, 0x11));
        EXPECT_EQ(sized.csv, header + "\"docs\",0,0,0,0,16\r\n"
                                      "\"docs\\old\",0,0,0,0,16\r\n"
                                      "\"docs\\old\\a.txt\",512,0,0,0,32\r\n");
        EXPECT_FALSE(sized.flags.readError || sized.flags.corrupt);
    }
}

}  // namespace
}  // namespace catadump::test
