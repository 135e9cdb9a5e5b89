// The 1.6.7 reader's own parts: unsigned header lines, the file system list whose paths name the root
// folders, the mount point monitor list, compact counts in the lists, root folders that take no part in
// front coding, slots of 13 bytes plus the name or 17 plus the path, and the bound on the offset map.
#include "family16_fixture.h"

namespace catadump::test::qwtb {
namespace {

Body body167(std::vector<FileSystem> fileSystems = {}) {
    Body body;
    body.version = Version::v1_6_7;
    body.fileSystems = std::move(fileSystems);
    return body;
}

const std::string richConsole167 = "Magic QWTB\n"
                                   "Version 1.6.7\n"
                                   "flags 00000006\n"
                                   "hidden files and folders exluded\n"
                                   "system files and folders exluded\n"
                                   "number of folders: 6\n"
                                   "number of files: 4\n"
                                   "folder decode size: 125\n"
                                   "file decode size: 77\n"
                                   "max folder full path name size: 40\n"
                                   "max file full path name size: 60\n"
                                   "file system count 2\n"
                                   "file system 0: path C:, guid {guid-c}\n"
                                   "serial number 1234abcd\n"
                                   "USN Journal ID 01d2000000000042\n"
                                   "next usn 0000000000abcdef\n"
                                   "file system 1: path E:\\Media, guid {guid-e}\n"
                                   "serial number 0000beef\n"
                                   "USN Journal ID ffffffffffffffff\n"
                                   "next usn 0000000000000000\n"
                                   "mount point monitor count 1\n"
                                   "mount point monitor 0: frn 00000000deadbeef, fsi 7\n"
                                   "exclude count 2\n"
                                   "exclude C:\\tmp\n"
                                   "exclude \n"
                                   "Loading folders...\n"
                                   "Loading files...\n"
                                   "Conversion complete!\n";

TEST(Qwtb167, RichDatabasePrintsEveryListAndCount) {
    InMemoryConversion run = convertInMemory(database(richBody(Version::v1_6_7)));
    EXPECT_EQ(run.console, richConsole167);
    EXPECT_EQ(run.csv, richCsv);
}

// Every count and length of the lists before the folder records (file system count, types, path and
// guid lengths, monitor count, exclude count, skipped value, text lengths) in the 255 + u32 form.
TEST(Qwtb167, CompactCountsInLongFormReadLikeShortOnes) {
    Body body = richBody(Version::v1_6_7);
    body.longCounts = true;
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.console, richConsole167);
    EXPECT_EQ(run.csv, richCsv);
    EXPECT_FALSE(run.flags.readError);
}

TEST(Qwtb167, HeaderValuesPrintAsUnsignedNumbers) {
    Body body = body167();
    body.folderDecodeSize = 0x80000001;
    body.fileDecodeSize = 0xFFFFFFFF;
    body.maxFolderPath = 0xFFFFFFFE;
    body.maxFilePath = 0x80000000;
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(readerLines(run.console), "flags 00000000\n"
                                        "number of folders: 0\n"
                                        "number of files: 0\n"
                                        "folder decode size: 2147483649\n"
                                        "file decode size: 4294967295\n"
                                        "max folder full path name size: 4294967294\n"
                                        "max file full path name size: 2147483648\n"
                                        "file system count 0\n"
                                        "mount point monitor count 0\n"
                                        "exclude count 0\n"
                                        "Loading folders...\nLoading files...\nConversion complete!\n");
    EXPECT_FALSE(run.flags.corrupt);
}

// Root folders: slot 17 plus the path up to its first zero byte, and the row shows that much of the path.
// Other folders: 13 plus every decoded byte of the name. Offsets: C: 0, "ab" 19, root "Q:\0zz" 34, "c" 53;
// the sum is 67.
TEST(Qwtb167, SlotIsSeventeenPlusThePathOrThirteenPlusTheName) {
    Body body = body167({{0, "C:", "{c}"}, {0, std::string("Q:\0zz", 5), "{q}"}});
    body.folders = {{.parent = root(), .fileSystem = 0},
                    {.parent = offset(0), .name = "ab"},
                    {.parent = root(), .fileSystem = 1},
                    {.parent = offset(34), .name = "c"}};
    body.files = {{.parent = offset(19), .name = "f"}, {.parent = offset(53), .name = "g"}};
    body.folderDecodeSize = 67;
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine +
                           "\"C:\",16\r\n\"C:\\ab\",16\r\n\"Q:\",16\r\n\"Q:\\c\",16\r\n\"C:\\ab\\f\",0\r\n"
                           "\"Q:\\c\\g\",0\r\n");
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."),
              "Loading folders...\nLoading files...\nConversion complete!\n");
    EXPECT_NE(run.console.find("file system 1: path Q:, guid {q}\n"), std::string::npos);

    body.folderDecodeSize = 68;
    run = convertInMemory(database(body));
    EXPECT_NE(run.console.find("bad folder decode 67 != 68\n"), std::string::npos) << run.console;
}

// A root folder's row is its file system's path copied in full, whatever bytes it holds, and its
// descendants' rows begin with that path and a backslash. A path of 300 bytes has a slot of 317.
TEST(Qwtb167, RootFolderRowIsTheWholePath) {
    const std::string share = "\\\\srv\\share,\"x\"";
    const std::string longPath = std::string(297, 'p') + "end";
    Body body = body167({{0, share, "{s}"}, {0, longPath, "{l}"}});
    body.folders = {{.parent = root(), .fileSystem = 1},
                    {.parent = root(), .fileSystem = 0},
                    {.parent = folder(0), .name = "sub"}};
    body.files = {{.parent = folder(1), .name = "f"}};
    EXPECT_EQ(body.offsetOf(1), 317u);
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv, headerLine + "\"" + longPath + "\",16\r\n\"" + share + "\",16\r\n\"" + longPath +
                           "\\sub\",16\r\n\"" + share + "\\f\",0\r\n");
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."),
              "Loading folders...\nLoading files...\nConversion complete!\n");
}

// Root folders neither use nor change the folders' previous name: the next folder is decoded against the
// last folder that was not a root, or against the empty name when there was none.
TEST(Qwtb167, RootFoldersTakeNoPartInFrontCoding) {
    Body body = body167({{0, "Z:", "{z}"}});
    body.folders = {{.parent = root()},
                    {.parent = folder(0), .name = "q", .stored = code(1, 0, "q")},  // not "Z:q"
                    {.parent = folder(0), .name = "abc"},
                    {.parent = root()},
                    {.parent = folder(3), .name = "x", .stored = code(1, 3, "x")}};  // strips "abc", not "Z:"
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv,
              headerLine + "\"Z:\",16\r\n\"Z:\\q\",16\r\n\"Z:\\abc\",16\r\n\"Z:\",16\r\n\"Z:\\x\",16\r\n");
    EXPECT_FALSE(run.flags.corrupt);
}

// A root folder record that ends before its file system index: the index reads as 0, which names no
// entry of an empty list, but that is the end of the data and not a structural error.
TEST(Qwtb167, RootFolderCutBeforeItsFileSystemIndex) {
    Body body = body167();
    body.folders = {{.parent = root()}};
    Layout layout = layOut(body);
    InMemoryConversion run = convertInMemory(cut(layout.bytes, layout.folderEnds[0] - 1));
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), "Loading folders...\nConversion complete!\n");
    EXPECT_EQ(run.csv, headerLine);
    EXPECT_TRUE(run.flags.readError);
    EXPECT_FALSE(run.flags.corrupt);
}

// A folder at decode offset D is stored while D + 4 is within the folder decode size, whether it is a
// root folder or not: "ab" at 0 (slot 15) and the root at 15, or the root at 0 (slot 19) and "ab" at 19.
// One byte less is an overflow, among the structural damage of tests/damage/damaged_input_test.cpp.
TEST(Qwtb167, FolderIndexJustFittingTheDecodeSizeIsStored) {
    for (bool rootSecond : {false, true}) {
        SCOPED_TRACE(rootSecond ? "root folder second" : "other folder second");
        Body body = body167({{0, "C:", "{c}"}});
        FolderRecord rootFolder{.parent = root()};
        FolderRecord other{.parent = offset(rootSecond ? 15 : 0), .name = "ab"};
        body.folders = rootSecond ? std::vector{other, rootFolder} : std::vector{rootFolder, other};
        uint32_t decodeSize = rootSecond ? 19 : 23;
        body.folderDecodeSize = decodeSize;
        InMemoryConversion run = convertInMemory(database(body));
        EXPECT_EQ(
            consoleFrom(run.console, "Loading folders..."),
            printed(
                "Loading folders...\nbad folder decode 34 != %u\nLoading files...\nConversion complete!\n",
                decodeSize));
        EXPECT_EQ(run.csv, headerLine + (rootSecond ? "\"C:\\ab\",16\r\n\"C:\",16\r\n"
                                                    : "\"C:\",16\r\n\"C:\\ab\",16\r\n"));
        EXPECT_FALSE(run.flags.corrupt);
    }
}

// Lists that declare all ones end with the data, within the memory bound.
TEST(Qwtb167, ListCountsOfAllOnesEndWithTheData) {
    TempDir directory;
    Body body = body167({{0, "C:", "{c}", 0xC0FFEE, 2, 3}});
    body.fileSystemCount = 0xFFFFFFFF;
    Layout layout = layOut(body);
    size_t afterFirstFileSystem = layout.recordsStart - 2;  // before the monitor and exclude counts
    BoundedRun run = convertWithinBound(directory, cut(layout.bytes, afterFirstFileSystem));
    EXPECT_TRUE(run.console.ends_with("file system count 4294967295\nfile system 0: path C:, guid {c}\n"
                                      "serial number 00c0ffee\nUSN Journal ID 0000000000000002\n"
                                      "next usn 0000000000000003\nConversion complete!\n"
                                      "Error: Encounted atleast one read error\n"))
        << run.console;
    EXPECT_EQ(run.csv, headerLine);

    body = body167();
    body.monitorCount = 0xFFFFFFFF;
    body.monitors = {{0x0123456789ABCDEF, 4294967295u}};
    layout = layOut(body);
    run = convertWithinBound(directory,
                             cut(layout.bytes, layout.recordsStart - 1));  // before the exclude count
    EXPECT_TRUE(run.console.ends_with("mount point monitor count 4294967295\n"
                                      "mount point monitor 0: frn 0123456789abcdef, fsi 4294967295\n"
                                      "Conversion complete!\nError: Encounted atleast one read error\n"))
        << run.console;
    EXPECT_EQ(run.csv, headerLine);

    // A path that declares almost four gigabytes and holds a few bytes.
    DbBuilder b;
    b.raw(cut(database(body167()), 8 + 7 * 4)).compact(1).compact(0).compactLong(0xFFFFFFFE).raw("C:\\some");
    run = convertWithinBound(directory, b.bytes());
    EXPECT_NE(run.exitCode, -1);
    EXPECT_EQ(run.console.find("mount point monitor count"), std::string::npos) << run.console;
    EXPECT_TRUE(run.console.ends_with("Conversion complete!\nError: Encounted atleast one read error\n"))
        << run.console;
    EXPECT_EQ(run.csv, headerLine);
}

}  // namespace
}  // namespace catadump::test::qwtb
