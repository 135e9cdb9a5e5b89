// What the 1.6.6 and 1.6.7 readers share, run on both versions: front-coded names with byte-wide counts,
// parents named by decode offset, the decode check, the structural errors with the rows that stay, reads
// cut short at every byte, and bodies that declare far more than they hold.
#include <functional>
#include <set>

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
    EXPECT_EQ(fromLoadingFolders(run.console), progressOnly);
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
    EXPECT_EQ(fromLoadingFolders(run.console), progressOnly);
    EXPECT_FALSE(run.flags.corrupt);
}

TEST_P(QwtbReaders, NoFilesEndsAfterTheFolderRows) {
    Body body = rich();
    body.files.clear();
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, richCsv.substr(0, richCsv.find("\"C:\\Program Files\\readme.txt")));
    EXPECT_EQ(fromLoadingFolders(run.console), progressOnly);
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
    EXPECT_EQ(run.csv, headerLine + "\"R:\",16\r\n\"R:\\" + a + "\",16\r\n\"R:\\" + a + "\\" + b + "\",16\r\n\"R:\\" +
                           a + "\\" + b + "\\" + a + "\",0\r\n\"R:\\" + a + "\\" + b + "\",0\r\n");
    EXPECT_EQ(fromLoadingFolders(run.console), progressOnly);
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
    EXPECT_EQ(run.csv, headerLine +
                           "\"R:\",16\r\n\"R:\\abc\",16\r\n\"R:\\abc\\abc\",16\r\n\"R:\\abd\",16\r\n"
                           "\"R:\\abc\\abc\\\",0\r\n\"R:\\abc\\f\",0\r\n\"R:\\abd\\f\",0\r\n");
    EXPECT_FALSE(run.flags.corrupt);
}

// A strip count equal to the previous length keeps nothing of it; one more is an error (next test).
TEST_P(QwtbReaders, StripCountOfThePreviousLengthKeepsOnlyTheSuffix) {
    Body body = withRoot();
    body.folders.push_back({.parent = folder(0), .name = "abc"});
    body.folders.push_back({.parent = folder(1), .name = "x", .stored = code(1, 3, "x")});
    body.files = {{.parent = folder(2), .name = "file"}, {.parent = folder(1), .name = "yz", .stored = code(2, 4, "yz")}};
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine + "\"R:\",16\r\n\"R:\\abc\",16\r\n\"R:\\abc\\x\",16\r\n\"R:\\abc\\x\\file\",0\r\n"
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
        EXPECT_EQ(fromLoadingFolders(run.console),
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
    EXPECT_NE(run.console.find(printed("bad folder decode %u != %u\n", body.decodedSize(), *body.folderDecodeSize)),
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
    EXPECT_EQ(fromLoadingFolders(run.console),
              "Loading folders...\nLoading files...\ninvalid file parent offset 0 >= 0\nConversion complete!\n");
    EXPECT_TRUE(run.flags.corrupt);

    body.folderDecodeSize = 20;
    run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine);
    EXPECT_EQ(fromLoadingFolders(run.console),
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
        EXPECT_EQ(fromLoadingFolders(run.console), progressOnly);
        EXPECT_TRUE(run.flags.readError);
        EXPECT_FALSE(run.flags.corrupt);
    }
}

INSTANTIATE_TEST_SUITE_P(, QwtbReaders, ::testing::ValuesIn(qwtbVersions), versionParamName);

// ---- Structural errors ----

// A damage done to the rich database, the message it prints, and how many file rows stay. In the folder
// part no row is written; in the file part every folder row and the rows of the earlier files stay.
struct StructuralCase {
    const char* name;
    std::function<void(Body&)> damage;
    std::function<std::string(const Body&)> message;
    bool inFilePart = false;
    size_t filesKept = 0;
};

void PrintTo(const StructuralCase& c, std::ostream* out) { *out << c.name; }

const StructuralCase structuralCases[] = {
    {"FolderParentAtTheDecodeSize", [](Body& b) { b.folders[2].parent = offset(b.decodedSize()); },
     [](const Body& b) { return printed("bad folder parent offset %u < %u\n", b.decodedSize(), b.decodedSize()); }},
    {"FolderParentJustBelowNoParent", [](Body& b) { b.folders[1].parent = offset(0xFFFFFFFE); },
     [](const Body& b) { return printed("bad folder parent offset 4294967294 < %u\n", b.decodedSize()); }},
    {"FolderStripCountOneMoreThanPrevious",
     [](Body& b) { b.folders[5].stored = code(1, 5, "x"); },  // after "Docs"
     [](const Body&) { return std::string("Invalid folder code offset 5 > 4.\n"); }},
    {"FolderSlotPastTheDecodeSize", [](Body& b) { b.folderDecodeSize = b.offsetOf(5) + 3; },
     [](const Body& b) { return printed("folder data overflow %u %u\n", b.offsetOf(5) + 4, b.offsetOf(5) + 3); }},
    // The bytes just after a folder's index in the map are zero: read as an index they would name folder 0.
    {"FolderParentBetweenSlots", [](Body& b) { b.folders[2].parent = offset(b.offsetOf(1) + 4); },
     [](const Body& b) {
         return printed("folder 2: parent offset %u is not the decode offset of any folder\n", b.offsetOf(1) + 4);
     }},
    // Three bytes before the end: a 4-byte index read there would reach past the map.
    {"FolderParentNearTheEndOfTheMap", [](Body& b) { b.folders[1].parent = offset(b.decodedSize() - 3); },
     [](const Body& b) {
         return printed("folder 1: parent offset %u is not the decode offset of any folder\n", b.decodedSize() - 3);
     }},
    {"FolderItsOwnParent", [](Body& b) { b.folders[1].parent = folder(1); },
     [](const Body&) {
         return std::string("folder 1 is its own ancestor: its parent chain never reaches a root folder\n");
     }},
    {"FoldersParentsOfEachOther", [](Body& b) { b.folders[4].parent = folder(5); },
     [](const Body&) {
         return std::string("folder 4 is its own ancestor: its parent chain never reaches a root folder\n");
     }},
    {"FileParentAtTheDecodeSize", [](Body& b) { b.files[2].parent = offset(b.decodedSize()); },
     [](const Body& b) { return printed("invalid file parent offset %u >= %u\n", b.decodedSize(), b.decodedSize()); },
     true, 2},
    {"FileWithoutParent", [](Body& b) { b.files[0].parent = root(); },
     [](const Body& b) { return printed("invalid file parent offset 4294967295 >= %u\n", b.decodedSize()); }, true,
     0},
    {"FileStripCountOneMoreThanPrevious",
     [](Body& b) { b.files[3].stored = code(1, 6, "x"); },  // after "a\"b,c"
     [](const Body&) { return std::string("Invalid file code offset 6 > 5.\n"); }, true, 3},
    {"FileParentInsideASlot", [](Body& b) { b.files[1].parent = offset(b.offsetOf(2) + 1); },
     [](const Body& b) {
         return printed("file 1: parent offset %u is not the decode offset of any folder\n", b.offsetOf(2) + 1);
     },
     true, 1},
    // Its 4 bytes would reach past the index of the last folder, where the map ends.
    {"FileParentOverlappingTheLastIndex", [](Body& b) { b.files[1].parent = offset(b.offsetOf(5) + 2); },
     [](const Body& b) {
         return printed("file 1: parent offset %u is not the decode offset of any folder\n", b.offsetOf(5) + 2);
     },
     true, 1},
    {"FileParentAtTheLastByteOfTheMap", [](Body& b) { b.files[3].parent = offset(b.decodedSize() - 1); },
     [](const Body& b) {
         return printed("file 3: parent offset %u is not the decode offset of any folder\n", b.decodedSize() - 1);
     },
     true, 3},
};

std::string structuralCaseName(const ::testing::TestParamInfo<std::tuple<Version, StructuralCase>>& param) {
    return versionName(std::get<0>(param.param)) + "_" + std::get<1>(param.param).name;
}

class QwtbStructuralErrors : public ::testing::TestWithParam<std::tuple<Version, StructuralCase>> {};

TEST_P(QwtbStructuralErrors, StopWithMessageCorruptFlagAndTheRowsBefore) {
    const auto& [v, c] = GetParam();
    Body body = richBody(v);
    c.damage(body);
    InMemoryConversion run = convertInMemory(database(body));

    std::string expectedCsv = headerLine;
    std::string expectedConsole = "Loading folders...\n";
    if (c.inFilePart) {
        Body intact = richBody(v);
        for (size_t i = 0; i < intact.folders.size(); ++i) expectedCsv += intact.folderRow(i);
        for (size_t j = 0; j < c.filesKept; ++j) expectedCsv += intact.fileRow(j);
        expectedConsole += "Loading files...\n";
    }
    expectedConsole += c.message(body) + "Conversion complete!\n";
    EXPECT_EQ(run.csv, expectedCsv);
    EXPECT_EQ(fromLoadingFolders(run.console), expectedConsole);
    EXPECT_TRUE(run.flags.corrupt);
    EXPECT_FALSE(run.flags.readError);
}

INSTANTIATE_TEST_SUITE_P(, QwtbStructuralErrors,
                         ::testing::Combine(::testing::ValuesIn(qwtbVersions), ::testing::ValuesIn(structuralCases)),
                         structuralCaseName);

// ---- Reads cut short ----

// The rich database with a decode size that does not match, so that the decode warning shows whether
// the decode check ran. Cut at any byte, it gives exactly the rows of the records read in full: folder
// rows only once every folder record is read, except that a cut inside the folder records still writes
// the folders read whose whole parent chain was read; file rows of the file records read in full. No row
// comes from zeroes delivered after the end, and nothing is reported as corrupt.
class QwtbTruncation : public ::testing::TestWithParam<Version> {
protected:
    QwtbTruncation() : body(richBody(GetParam())) {
        body.folderDecodeSize = body.decodedSize() + 8;
        layout = layOut(body);
    }

    size_t foldersReadBy(size_t cutAt) const {
        size_t n = 0;
        while (n < layout.folderEnds.size() && layout.folderEnds[n] <= cutAt) ++n;
        return n;
    }

    std::string expectedCsv(size_t cutAt) const {
        size_t folders = foldersReadBy(cutAt);
        std::string csv = headerLine;
        for (size_t i = 0; i < folders; ++i) {
            bool chainRead = true;
            for (size_t k = i; body.folders[k].parent.isFolder; k = body.folders[k].parent.value) {
                chainRead = chainRead && body.folders[k].parent.value < folders;
                if (!chainRead) break;
            }
            if (chainRead) csv += body.folderRow(i);
        }
        if (folders < body.folders.size()) return csv;
        for (size_t j = 0; j < layout.fileEnds.size() && layout.fileEnds[j] <= cutAt; ++j) csv += body.fileRow(j);
        return csv;
    }

    void expectCutAt(size_t cutAt, const InMemoryConversion& run) const {
        SCOPED_TRACE(printed("cut at %zu of %zu", cutAt, layout.bytes.size()));
        EXPECT_EQ(run.csv, expectedCsv(cutAt));
        EXPECT_TRUE(run.flags.readError);
        EXPECT_FALSE(run.flags.corrupt);
        bool allFolders = cutAt >= layout.folderEnds.back();
        EXPECT_EQ(run.console.find("Loading folders...\n") != std::string::npos, cutAt >= layout.recordsStart);
        EXPECT_EQ(run.console.find("bad folder decode") != std::string::npos, allFolders);
        EXPECT_EQ(run.console.find("Loading files...\n") != std::string::npos, allFolders);
        EXPECT_TRUE(run.console.ends_with("Conversion complete!\n")) << run.console;
    }

    Body body;
    Layout layout;
};

constexpr size_t signatureAndVersion = 8;

TEST_P(QwtbTruncation, RawDatabaseCutAtEveryByte) {
    for (size_t cutAt = signatureAndVersion; cutAt < layout.bytes.size(); ++cutAt) {
        expectCutAt(cutAt, convertInMemory(cut(layout.bytes, cutAt)));
    }
    InMemoryConversion whole = convertInMemory(layout.bytes);
    EXPECT_EQ(whole.csv, richCsv);
    EXPECT_FALSE(whole.flags.readError);
}

// A well-formed bzip2 stream around a database that ends early: the decompressed data ends at the cut.
TEST_P(QwtbTruncation, CompressedDatabaseThatEndsAtEveryByte) {
    for (size_t cutAt = signatureAndVersion; cutAt < layout.bytes.size(); ++cutAt) {
        expectCutAt(cutAt, convertInMemory(bzip2(cut(layout.bytes, cutAt))));
    }
}

// The compressed file itself cut at every byte: whatever part of the data comes through, the rows are
// those of some cut of the database, never rows made of zeroes.
TEST_P(QwtbTruncation, CompressedFileCutAtEveryByte) {
    std::set<std::string> possible = {"", richCsv};
    for (size_t cutAt = signatureAndVersion; cutAt < layout.bytes.size(); ++cutAt) possible.insert(expectedCsv(cutAt));
    std::string packed = bzip2(layout.bytes);
    for (size_t cutAt = 0; cutAt < packed.size(); ++cutAt) {
        InMemoryConversion run = convertInMemory(cut(packed, cutAt));
        EXPECT_TRUE(possible.contains(run.csv)) << "cut at " << cutAt << ":\n" << run.csv;
        EXPECT_FALSE(run.flags.corrupt) << "cut at " << cutAt;
    }
}

INSTANTIATE_TEST_SUITE_P(, QwtbTruncation, ::testing::ValuesIn(qwtbVersions), versionParamName);

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
    // What the reader prints before "Loading folders..." for these header values, with the rich lists.
    // 1.6.6 prints them as signed numbers, 1.6.7 as unsigned ones.
    std::string headerLines(const Body& b) const {
        auto number = [&b](const char* label, uint32_t value) {
            return b.version == Version::v1_6_7 ? printed("%s: %u\n", label, value)
                                              : printed("%s: %d\n", label, static_cast<int>(value));
        };
        return "flags 00000006\nhidden files and folders exluded\nsystem files and folders exluded\n" +
               number("number of folders", b.headerFolderCount()) + number("number of files", b.headerFileCount()) +
               number("folder decode size", b.headerDecodeSize()) + number("file decode size", b.fileDecodeSize);
    }
    TempDir directory;
};

// The rows of the first two folders of the rich database (a root folder and its child).
const std::string firstTwoFolderRows = "\"C:\",16\r\n\"C:\\Program Files\",16\r\n";

// Cut where a folder record or a file record ends: the next record would be all zeroes.
TEST_P(QwtbHugeDeclarations, CountsAndDecodeSizeOfAllOnesEndWithTheData) {
    Body body = richBody(GetParam());
    body.folderCount = 0xFFFFFFFF;
    body.fileCount = 0xFFFFFFFF;
    body.folderDecodeSize = 0xFFFFFFFF;
    Layout layout = layOut(body);
    std::string excludes = "exclude count 2\nexclude C:\\tmp\nexclude \nLoading folders...\n";
    std::string readError = "Conversion complete!\nError: Encounted atleast one read error\n";

    BoundedRun run = convert(cut(layout.bytes, layout.folderEnds[1]));
    EXPECT_EQ(run.csv, headerLine + firstTwoFolderRows);
    std::string reader = afterVersionLine(run.console);
    EXPECT_TRUE(reader.starts_with(headerLines(body))) << reader;
    EXPECT_TRUE(reader.ends_with(excludes + readError)) << reader;

    // With the folder count right, the file records of a count of all ones end after two of them.
    body.folderCount.reset();
    layout = layOut(body);
    run = convert(cut(layout.bytes, layout.fileEnds[1]));
    EXPECT_EQ(run.csv, richCsv.substr(0, richCsv.find("\"E:\\Media\\Docs\\Docs\\a")));
    reader = afterVersionLine(run.console);
    EXPECT_TRUE(reader.ends_with(excludes + "bad folder decode " + std::to_string(body.decodedSize()) +
                                 " != -1\nLoading files...\n" + readError))
        << reader;
}

// Every record is there; only the decode size is all ones. The offset map follows the folders stored.
TEST_P(QwtbHugeDeclarations, DecodeSizeOfAllOnesConvertsEverything) {
    Body body = richBody(GetParam());
    body.folderDecodeSize = 0xFFFFFFFF;
    BoundedRun run = convert(database(body));
    EXPECT_EQ(run.csv, richCsv);
    EXPECT_TRUE(afterVersionLine(run.console)
                    .ends_with("Loading folders...\n" + printed("bad folder decode %u != -1\n", body.decodedSize()) +
                               "Loading files...\nConversion complete!\n"))
        << run.console;
    EXPECT_EQ(run.exitCode, 0);
}

// The file records declare all ones, and every file parent offset is below the decode size of all ones
// without naming a folder.
TEST_P(QwtbHugeDeclarations, FileCountOfAllOnesStopsAtTheFirstBadParent) {
    Body body = richBody(GetParam());
    body.fileCount = 0xFFFFFFFF;
    body.folderDecodeSize = 0xFFFFFFFF;
    body.files = {{.parent = folder(1), .name = "f"}, {.parent = offset(0xFFFFFFF0), .name = "g"}};
    BoundedRun run = convert(database(body));
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

} // namespace
} // namespace catadump::test::qwtb
