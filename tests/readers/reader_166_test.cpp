// The 1.6.6 reader's own parts: signed header lines, the fixed list of 26 drives, the exclude list with
// 32-bit counts, slots of 14 bytes plus the name, and the bound on the offset map.
#include "family16_fixture.h"

namespace catadump::test::qwtb {
namespace {

Body body166() {
    Body body;
    body.version = Version::v1_6_6;
    return body;
}

TEST(Qwtb166, RichDatabasePrintsEveryListAndCount) {
    InMemoryConversion run = convertInMemory(database(richBody(Version::v1_6_6)));
    EXPECT_EQ(run.console, "Magic QWTB\n"
                           "Version 1.6.6\n"
                           "flags 00000006\n"
                           "hidden files and folders exluded\n"
                           "system files and folders exluded\n"
                           "number of folders: 6\n"
                           "number of files: 4\n"
                           "folder decode size: 123\n"
                           "file decode size: 77\n"
                           "include drive C:\n"
                           "serial number 1234abcd\n"
                           "USN Journal ID 01d2000000000042\n"
                           "next usn 0000000000abcdef\n"
                           "include drive F:\n"
                           "serial number 0000beef\n"
                           "USN Journal ID ffffffffffffffff\n"
                           "next usn 0000000000000000\n"
                           "exclude count 2\n"
                           "exclude C:\\tmp\n"
                           "exclude \n"
                           "Loading folders...\n"
                           "Loading files...\n"
                           "Conversion complete!\n");
    EXPECT_EQ(run.csv, richCsv);
}

TEST(Qwtb166, HeaderValuesPrintAsSignedNumbers) {
    Body body = body166();
    body.flags = 0x80000001;
    body.folderDecodeSize = 0x80000001;
    body.fileDecodeSize = 0xFFFFFFFF;
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(readerLines(run.console), "flags 80000001\n"
                                        "number of folders: 0\n"
                                        "number of files: 0\n"
                                        "folder decode size: -2147483647\n"
                                        "file decode size: -1\n"
                                        "exclude count 0\n"
                                        "Loading folders...\nLoading files...\nConversion complete!\n");
}

// A drive with include byte 0 takes one byte and prints nothing; any other include byte is followed by
// its serial number and journal position. The first and the last letter, both included.
TEST(Qwtb166, DriveListPrintsOnlyIncludedDrives) {
    Body body = body166();
    InMemoryConversion none = convertInMemory(database(body));
    EXPECT_EQ(
        readerLines(none.console),
        "flags 00000000\nnumber of folders: 0\nnumber of files: 0\nfolder decode size: 0\n"
        "file decode size: 0\nexclude count 0\nLoading folders...\nLoading files...\nConversion complete!\n");
    EXPECT_FALSE(none.flags.readError);

    body.drives[0] = Drive{0xFF, 0x0000BEEF, 0x000000ABCDEF0123, 0};
    body.drives[25] = Drive{1, 0xFFFFFFFF, 1, 0x8000000000000000};
    InMemoryConversion both = convertInMemory(database(body));
    EXPECT_EQ(readerLines(both.console),
              "flags 00000000\nnumber of folders: 0\nnumber of files: 0\nfolder decode size: 0\nfile decode "
              "size: 0\n"
              "include drive A:\n"
              "serial number 0000beef\n"
              "USN Journal ID 000000abcdef0123\n"
              "next usn 0000000000000000\n"
              "include drive Z:\n"
              "serial number ffffffff\n"
              "USN Journal ID 0000000000000001\n"
              "next usn 8000000000000000\n"
              "exclude count 0\nLoading folders...\nLoading files...\nConversion complete!\n");
    EXPECT_FALSE(both.flags.readError);
}

// Exclude counts and lengths are u32 here: a text of 300 bytes, after a skipped byte of 255.
TEST(Qwtb166, ExcludeListUsesFixedWidthCounts) {
    Body body = body166();
    const std::string text(300, 'e');
    body.excludes = {{255, text}, {0, ""}, {1, "D:\\x"}};
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."),
              "Loading folders...\nLoading files...\nConversion complete!\n");
    EXPECT_NE(
        run.console.find("exclude count 3\nexclude " + text + "\nexclude \nexclude D:\\x\nLoading folders"),
        std::string::npos)
        << run.console;
    EXPECT_FALSE(run.flags.readError);
}

// Slots are 14 bytes plus every decoded byte of the name, zero bytes included, although the row shows
// the name only up to its first zero byte. Offsets: "ab" 0, "c" 16, "a\0b" 31; the sum is 48.
TEST(Qwtb166, SlotIsFourteenBytesPlusTheName) {
    Body body = body166();
    body.folders = {{.parent = root(), .name = "ab"},
                    {.parent = offset(0), .name = "c"},
                    {.parent = offset(0), .name = std::string("a\0b", 3)}};
    body.files = {{.parent = offset(16), .name = "f"}, {.parent = offset(31), .name = "g"}};
    body.folderDecodeSize = 48;
    InMemoryConversion run = convertInMemory(database(body));
    EXPECT_EQ(run.csv,
              headerLine +
                  "\"ab\",16\r\n\"ab\\c\",16\r\n\"ab\\a\",16\r\n\"ab\\c\\f\",0\r\n\"ab\\a\\g\",0\r\n");
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."),
              "Loading folders...\nLoading files...\nConversion complete!\n");

    body.folderDecodeSize = 47;
    run = convertInMemory(database(body));
    EXPECT_NE(run.console.find("bad folder decode 48 != 47\n"), std::string::npos) << run.console;
}

// Each folder's index takes 4 bytes of the map at its decode offset: a folder at D is stored while
// D + 4 is within the folder decode size, and stops the reader one byte later.
struct OverflowCase {
    uint32_t decodeSize;
    std::string csv;
    std::string console;
    bool corrupt;
};

TEST(Qwtb166, FolderIndexIsNeverStoredPastTheDecodeSize) {
    Body body = body166();
    body.folders = {{.parent = root(), .name = "ab"},
                    {.parent = offset(0), .name = "c"}};  // offsets 0 and 16
    body.files = {{.parent = offset(16), .name = "f"}};
    const OverflowCase cases[] = {
        {20, headerLine + "\"ab\",16\r\n\"ab\\c\",16\r\n\"ab\\c\\f\",0\r\n",
         "Loading folders...\nbad folder decode 31 != 20\nLoading files...\nConversion complete!\n", false},
        {19, headerLine, "Loading folders...\nfolder data overflow 20 19\nConversion complete!\n", true},
        {3, headerLine, "Loading folders...\nfolder data overflow 4 3\nConversion complete!\n", true},
    };
    for (const OverflowCase& c : cases) {
        SCOPED_TRACE(c.decodeSize);
        body.folderDecodeSize = c.decodeSize;
        if (c.decodeSize < 16) body.folders.resize(1);
        InMemoryConversion run = convertInMemory(database(body));
        EXPECT_EQ(run.csv, c.csv);
        EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), c.console);
        EXPECT_EQ(run.flags.corrupt, c.corrupt);
    }
}

// A record cut short is the end of the data: the reader stops there, before any structural check of the
// record, even one that depends only on the records before it. Folder 1 would not fit in the map.
TEST(Qwtb166, RecordCutShortStopsBeforeTheOverflowCheck) {
    Body body = body166();
    body.folders = {{.parent = root(), .name = "ab"}, {.parent = offset(0), .name = "c"}};
    body.folderDecodeSize = 19;
    Layout layout = layOut(body);
    size_t insideSkippedField = layout.folderEnds[0] + 1 + 8 + 4 + 2;
    InMemoryConversion run = convertInMemory(cut(layout.bytes, insideSkippedField));
    EXPECT_EQ(consoleFrom(run.console, "Loading folders..."), "Loading folders...\nConversion complete!\n");
    EXPECT_EQ(run.csv, headerLine + "\"ab\",16\r\n");
    EXPECT_TRUE(run.flags.readError);
    EXPECT_FALSE(run.flags.corrupt);
}

}  // namespace
}  // namespace catadump::test::qwtb
