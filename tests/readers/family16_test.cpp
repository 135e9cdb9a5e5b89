// What the 1.6.6 and 1.6.7 readers share, run on both versions: front-coded names with byte-wide counts,
// parents named by decode offset, the decode check, and bodies that declare far more than they hold.
// Cuts, overstated counts and structural errors of every version are in tests/damage/damaged_input_test.cpp.
#include "family16_fixture.h"

namespace catadump::test::qwtb {
namespace {

class QwtbReaders : public ::testing::TestWithParam<Version> {
  protected:
    Version version() const { return GetParam(); }
    Body rich() const { return richBody(version()); }
    // A body with one root folder "R" (1.6.7: file system "R:") and the given records after it.
    Body withRoot() const {
        Body body;
        body.version = version();
        body.fileSystems = {{0, "R:", "{r}"}};
        body.folders = {{.parent = root(), .name = "R:"}};
        return body;
    }
};

const std::string progressOnly = "Loading folders...\nLoading files...\nConversion complete!\n";

TEST_P(QwtbReaders, RichDatabaseGivesEveryRowInOrder) {
    InMemoryConversion run = convertInMemory(database(rich()));
    EXPECT_EQ(run.csv, richCsv);
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), progressOnly);
    EXPECT_FALSE(run.flags.readError);
    EXPECT_FALSE(run.flags.corrupt);
}

// Without folders there is no offset map and no decode check, whatever size the header declares.
TEST_P(QwtbReaders, NoFoldersGoesStraightToTheFiles) {
    Body body;
    body.version = version();
    body.folderDecodeSize = 50;
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine);
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), progressOnly);
    EXPECT_FALSE(run.flags.corrupt);
}

TEST_P(QwtbReaders, NoFilesEndsAfterTheFolderRows) {
    Body body = rich();
    body.files.clear();
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, richCsv.substr(0, richCsv.find("\"C:\\Program Files\\readme.txt")));
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), progressOnly);
    EXPECT_FALSE(run.flags.corrupt);
}

// A parent later in the file gives the same row as one before it: the same tree, stored in two orders.
TEST_P(QwtbReaders, ParentAfterItsChildGivesTheSameRows) {
    Body before = withRoot();
    before.folders.push_back({.parent = folder(0), .name = "p"});
    before.folders.push_back({.parent = folder(1), .name = "q"});
    before.files = {{.parent = folder(2), .name = "f"}};
    Body after = withRoot();
    after.folders.push_back({.parent = folder(2), .name = "q"});
    after.folders.push_back({.parent = folder(0), .name = "p"});
    after.files = {{.parent = folder(1), .name = "f"}};

    EXPECT_EQ(convertInMemory(database(before)).csv,
              headerLine + "\"R:\",16\r\n\"R:\\p\",16\r\n\"R:\\p\\q\",16\r\n\"R:\\p\\q\\f\",0\r\n");
    InMemoryConversion run = convertInMemory(database(after));
    EXPECT_EQ(run.csv, headerLine + "\"R:\",16\r\n\"R:\\p\\q\",16\r\n\"R:\\p\",16\r\n\"R:\\p\\q\\f\",0\r\n");
    EXPECT_FALSE(run.flags.corrupt);
}

// Counts are single bytes: 255 is an ordinary suffix length and strip count, with no 32-bit escape.
TEST_P(QwtbReaders, CountOf255IsAnOrdinaryByte) {
    const std::string a(255, 'a');
    const std::string b = std::string(254, 'b') + "c";
    Body body = withRoot();
    uint8_t rootName = version() == Version::v1_6_6 ? 2 : 0;  // 1.6.7 root folders have no name in the list
    body.folders.push_back({.parent = folder(0), .name = a, .stored = code(255, rootName, a)});
    body.folders.push_back({.parent = folder(1), .name = b, .stored = code(255, 255, b)});
    body.files = {{.parent = folder(2), .name = a, .stored = code(255, 0, a)},
                  {.parent = folder(1), .name = b, .stored = code(255, 255, b)}};
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine + "\"R:\",16\r\n\"R:\\" + a + "\",16\r\n\"R:\\" + a + "\\" + b +
                           "\",16\r\n\"R:\\" + a + "\\" + b + "\\" + a + "\",0\r\n\"R:\\" + a + "\\" + b +
                           "\",0\r\n");
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), progressOnly);
    EXPECT_FALSE(run.flags.corrupt);
}

// Suffix length 0 repeats the previous name and is followed directly by the next field: a strip count
// read by mistake would swallow a filler byte (folders) or a parent offset byte (files).
TEST_P(QwtbReaders, SuffixLengthZeroRepeatsThePreviousNameWithoutStripCount) {
    Body body = withRoot();
    body.folders.push_back({.parent = folder(0), .name = "abc"});
    body.folders.push_back({.parent = folder(1), .name = "abc", .stored = repeatName()});
    body.folders.push_back({.parent = folder(0), .name = "abd"});
    body.files = {{.parent = folder(2), .name = "", .stored = repeatName()},  // the first file: empty name
                  {.parent = folder(1), .name = "f"},
                  {.parent = folder(3), .name = "f", .stored = repeatName()}};
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine + "\"R:\",16\r\n\"R:\\abc\",16\r\n\"R:\\abc\\abc\",16\r\n\"R:\\abd\",16\r\n"
                                    "\"R:\\abc\\abc\\\",0\r\n\"R:\\abc\\f\",0\r\n\"R:\\abd\\f\",0\r\n");
    EXPECT_FALSE(run.flags.corrupt);
}

// A strip count equal to the previous length keeps nothing of it; one more is an error (next test).
TEST_P(QwtbReaders, StripCountOfThePreviousLengthKeepsOnlyTheSuffix) {
    Body body = withRoot();
    body.folders.push_back({.parent = folder(0), .name = "abc"});
    body.folders.push_back({.parent = folder(1), .name = "x", .stored = code(1, 3, "x")});
    body.files = {{.parent = folder(2), .name = "file"},
                  {.parent = folder(1), .name = "yz", .stored = code(2, 4, "yz")}};
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine +
                           "\"R:\",16\r\n\"R:\\abc\",16\r\n\"R:\\abc\\x\",16\r\n\"R:\\abc\\x\\file\",0\r\n"
                           "\"R:\\abc\\yz\",0\r\n");
    EXPECT_FALSE(run.flags.corrupt);
}

// The warning for a decode size that differs from the sum of the slots changes nothing else.
TEST_P(QwtbReaders, DecodeSizeMismatchWarnsAndWritesEveryRow) {
    for (int delta : {+1, -1}) {
        Body body = rich();
        body.folderDecodeSize = body.decodedSize() + static_cast<uint32_t>(delta);
        InMemoryConversion run = convertInMemory(database(body));
        EXPECT_EQ(run.csv, richCsv);
        EXPECT_EQ(consoleFrom(run.console, "Loading folders..."),
                  "Loading folders...\n" +
                      printed("bad folder decode %u != %u\n", body.decodedSize(), *body.folderDecodeSize) +
                      "Loading files...\nConversion complete!\n");
        EXPECT_FALSE(run.flags.corrupt);
        EXPECT_FALSE(run.flags.readError);
    }
}

TEST_P(QwtbReaders, DecodeSizeMismatchAloneEndsTheProgramWithSuccess) {
    Body body = rich();
    body.folderDecodeSize = body.decodedSize() + 3;
    TempDir directory;
    FileConversion run = convertFile(directory, database(body));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.csv, richCsv);
    EXPECT_NE(
        run.console.find(printed("bad folder decode %u != %u\n", body.decodedSize(), *body.folderDecodeSize)),
        std::string::npos);
    EXPECT_EQ(run.console.find("Error: "), std::string::npos) << run.console;
}

// A file needs a folder: without folders every file record is a structural error, with or without a
// declared decode size.
TEST_P(QwtbReaders, FileWithoutAnyFolderIsAnError) {
    Body body;
    body.version = version();
    body.files = {{.parent = offset(0), .name = "f"}};
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine);
    EXPECT_EQ(
        consoleFrom(run.console, "Loading folders..."),
        "Loading folders...\nLoading files...\ninvalid file parent offset 0 >= 0\nConversion complete!\n");
    EXPECT_TRUE(run.flags.corrupt);

    body.folderDecodeSize = 20;
    run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine);
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."),
              "Loading folders...\nLoading files...\n"
              "file 0: parent offset 0 is not the decode offset of any folder\nConversion complete!\n");
    EXPECT_TRUE(run.flags.corrupt);
}

// File records that are not there, after no folder at all: the end of the data, not a structural error,
// whether or not a zero parent offset would be below the declared decode size.
TEST_P(QwtbReaders, MissingFileRecordsWithoutFoldersAreOnlyAReadError) {
    for (uint32_t decodeSize : {0u, 20u}) {
        Body body;
        body.version = version();
        body.fileCount = 3;
        body.folderDecodeSize = decodeSize;
        InMemoryConversion run = convertInMemory(database(body));
        EXPECT_EQ(run.csv, headerLine);
        EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), progressOnly);
        EXPECT_TRUE(run.flags.readError);
        EXPECT_FALSE(run.flags.corrupt);
    }
}

INSTANTIATE_TEST_SUITE_P(, QwtbReaders, ::testing::ValuesIn(qwtbVersions), versionParamName);

// ---- Declared counts and sizes far beyond the data ----

// The reader's part of a program run's console: from the line after "Version 1.6.x".
std::string afterVersionLine(const std::string& console) {
    size_t version = console.find("Version 1.6.");
    if (version == std::string::npos) return console;
    return console.substr(console.find('\n', version) + 1);
}

class QwtbHugeDeclarations : public ::testing::TestWithParam<Version> {
  protected:
    // Converts with the program under the memory bound and checks that it ended normally.
    BoundedRun convert(std::string_view bytes) {
        BoundedRun run = convertWithinBound(directory, bytes);
        EXPECT_NE(run.exitCode, -1) << "the program did not exit normally";
        EXPECT_NE(run.exitCode, 1) << run.console;  // "Out of Memory"
        EXPECT_EQ(run.console.find("Out of Memory"), std::string::npos);
        return run;
    }
    TempDir directory;
};

// The file records declare all ones, and every file parent offset is below the decode size of all ones
// without naming a folder. The header's numbers print signed in 1.6.6, unsigned in 1.6.7.
TEST_P(QwtbHugeDeclarations, FileCountOfAllOnesStopsAtTheFirstBadParent) {
    Body body = richBody(GetParam());
    body.fileCount = 0xFFFFFFFF;
    body.folderDecodeSize = 0xFFFFFFFF;
    body.files = {{.parent = folder(1), .name = "f"}, {.parent = offset(0xFFFFFFF0), .name = "g"}};
    BoundedRun run = convert(database(body));
    const std::string counts = GetParam() == Version::v1_6_6
                                   ? "number of files: -1\nfolder decode size: -1\n"
                                   : "number of files: 4294967295\nfolder decode size: 4294967295\n";
    EXPECT_TRUE(afterVersionLine(run.console)
                    .starts_with(
                        "flags 00000006\nhidden files and folders exluded\nsystem files and folders exluded\n"
                        "number of folders: 6\n" +
                        counts + "file decode size: 77\n"))
        << run.console;
    EXPECT_EQ(run.csv, richCsv.substr(0, richCsv.find("\"C:\\Program Files\\readme.txt")) +
                           "\"C:\\Program Files\\f\",0\r\n");
    EXPECT_TRUE(afterVersionLine(run.console)
                    .ends_with("Loading files...\n"
                               "file 1: parent offset 4294967280 is not the decode offset of any folder\n"
                               "Conversion complete!\nError: database corrupt\n"))
        << run.console;
}

// An exclude list that declares all ones, whose last entry declares a text of all ones: the entries
// and bytes that are there are printed, then the reader stops.
TEST_P(QwtbHugeDeclarations, ExcludeCountAndTextLengthOfAllOnesEndWithTheData) {
    Body body = richBody(GetParam());
    body.excludeCount = 0xFFFFFFFF;
    body.excludes = {{1, "ab"}, {2, "cd", 0xFFFFFFFF}};
    Layout layout = layOut(body);
    BoundedRun run = convert(cut(layout.bytes, layout.recordsStart));
    EXPECT_EQ(run.csv, headerLine);
    EXPECT_TRUE(afterVersionLine(run.console)
                    .ends_with("exclude count 4294967295\nexclude ab\nexclude cd\nConversion complete!\n"
                               "Error: Encounted atleast one read error\n"))
        << run.console;

    // Cut where the first entry ends: no entry of zeroes follows it.
    body.excludes = {{1, "ab"}};
    layout = layOut(body);
    run = convert(cut(layout.bytes, layout.recordsStart));
    EXPECT_TRUE(afterVersionLine(run.console)
                    .ends_with("exclude count 4294967295\nexclude ab\nConversion complete!\n"
                               "Error: Encounted atleast one read error\n"))
        << run.console;
}

INSTANTIATE_TEST_SUITE_P(, QwtbHugeDeclarations, ::testing::ValuesIn(qwtbVersions), versionParamName);

}  // namespace
}  // namespace catadump::test::qwtb
