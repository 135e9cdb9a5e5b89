// The filesystem tables of QRTb databases: the early layout (1.7.5, 1.7.8) prints only its count and the
// types it does not know; the late layout (1.7.17, 1.7.20) prints every entry. Each database here has no
// folders, so the files that follow show how many filesystems were kept, of which type, and that the table
// was consumed exactly.
#include <string>

#include "reader17_fixture.h"

namespace catadump::test {
namespace {

// The header of a database without folders, up to its filesystem table.
DbBuilder tableStart(Version v, uint32_t files) {
    DbBuilder b;
    b.header("QRTb", versionWord(1, 7, buildOf(v))).u32(0).u32(0).u32(files);
    if (v == Version::v1_7_5) b.u32(0);
    return b;
}

// What follows the table: the exclude flags byte (late layout) and three empty blob lists.
void tableEnd(DbBuilder& b, Version v, uint8_t exclude = 0) {
    if (isLate(v)) b.u8(exclude);
    b.blobList({}).blobList({}).blobList({});
}

std::string headLines(Version v, uint32_t files) {
    return "flags 00000000\nnumber of folders: 0\nnumber of files: " + std::to_string(files) + "\n" +
           (v == Version::v1_7_5 ? "decode size: 0 (ignored)\n" : "");
}

TEST(FilesystemTables, LateLayoutPrintsEveryEntry) {
    for (Version v : lateQrtbVersions) {
        SCOPED_TRACE(versionName(v));
        DbBuilder b = tableStart(v, 2);
        b.compact(4);
        b.compact(0).u8(1).str("{1234-abcd}").str("\\\\?\\Volume{7}\\").str("C:\\").str("C:\\Users");
        b.u64(0x01D2C3B4A5968778).u64(0x1234);
        b.compactLong(1).u8(0).str("plain").u64(5);  // type 1 in the long form
        b.compact(2).u8(0).str("D:\\Photos").u64(0xFEDCBA9876543210);
        b.compact(3).u8(2).str("w").str("x").str("y").str("z").u64(7).u64(8);
        tableEnd(b, v, 0x5A);
        b.u32(3).compact(1).compact(0).raw("f");           // under the type-3 filesystem: name only
        b.u32(1).u8(0xFF).compact(1).compact(1).raw("g");  // under type 1: a flag byte before the name

        InMemoryConversion result = convertInMemory(b.bytes());
        EXPECT_EQ(readerLines(result.console), headLines(v, 2) +
                                                   "filesystem count: 4\n"
                                                   "filesystem 0: type 0\n"
                                                   "filesystem 0: out of date 1\n"
                                                   "filesystem 0: NTFS: guid: {1234-abcd}\n"
                                                   "filesystem 0: NTFS: path: \\\\?\\Volume{7}\\\n"
                                                   "filesystem 0: NTFS: root: C:\\\n"
                                                   "filesystem 0: NTFS: include only: C:\\Users\n"
                                                   "filesystem 0: NTFS: USN Journal ID: 01d2c3b4a5968778\n"
                                                   "filesystem 0: NTFS: Next USN: 0000000000001234\n"
                                                   "filesystem 1: type 1\n"
                                                   "filesystem 1: out of date 0\n"
                                                   "filesystem 2: type 2\n"
                                                   "filesystem 2: out of date 0\n"
                                                   "filesystem 2: FOLDER: path: D:\\Photos\n"
                                                   "filesystem 2: FOLDER: next update: fedcba9876543210\n"
                                                   "filesystem 3: type 3\n"
                                                   "filesystem 3: out of date 2\n"
                                                   "Exclude flags 5a\n"
                                                   "Loading files...\n"
                                                   "Conversion complete!\n");
        EXPECT_EQ(result.csv, headerLineOf(v) + "\"f\",0,0,0,0,0\r\n\"g\",0,0,0,0,0\r\n");
        EXPECT_FALSE(result.flags.readError || result.flags.corrupt);
    }
}

// A type the layout does not know is reported and kept; nothing more of its entry is consumed, so the
// bytes that follow are the next entry.
TEST(FilesystemTables, UnknownTypesAreReportedAndTheNextEntryFollowsDirectly) {
    struct Case {
        Version v;
        uint32_t type;
        std::string lines;
    };
    const Case cases[] = {
        {Version::v1_7_5, 3, "bad filesystem type 3\n"},
        {Version::v1_7_8, 3, "bad filesystem type 3\n"},
        {Version::v1_7_8, 0x80000000, "bad filesystem type -2147483648\n"},
        {Version::v1_7_8, 0xFFFFFFFE, "bad filesystem type -2\n"},
        {Version::v1_7_17, 4, "filesystem 0: type 4\nfilesystem 0: out of date 9\nbad filesystem type 4\n"},
        {Version::v1_7_20, 0x80000000,
         "filesystem 0: type -2147483648\nfilesystem 0: out of date 9\nbad filesystem type -2147483648\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(versionName(c.v) + " type " + std::to_string(c.type));
        bool late = isLate(c.v);
        DbBuilder b = tableStart(c.v, 3);
        b.compact(2).compact(c.type);
        if (late) b.u8(9);
        b.compact(2);  // the next entry: a FOLDER filesystem
        if (late) b.u8(0);
        b.str("E:\\");
        if (!late) b.u8(0).u8(0).u32(0);
        b.u64(0xAB);
        tableEnd(b, c.v);
        b.u32(0).compact(1).compact(0).raw("a");  // the unknown type: a name alone
        b.u32(1).compact(1).compact(1).raw("b");  // the FOLDER filesystem
        b.u32(2).compact(1).compact(1).raw("c");  // the filesystem count is 2

        InMemoryConversion result = convertInMemory(b.bytes());
        std::string folderLines = late ? "filesystem 1: type 2\nfilesystem 1: out of date 0\n"
                                         "filesystem 1: FOLDER: path: E:\\\n"
                                         "filesystem 1: FOLDER: next update: 00000000000000ab\n"
                                       : "";
        EXPECT_EQ(readerLines(result.console), headLines(c.v, 3) + "filesystem count: 2\n" + c.lines +
                                                   folderLines + (late ? "Exclude flags 00\n" : "") +
                                                   "Loading files...\n"
                                                   "invalid parent folder offset 2 >= 2\n"
                                                   "Conversion complete!\n");
        EXPECT_EQ(result.csv,
                  headerLineOf(c.v) + "\"a" + closing(c.v, false, {}) + "\"b" + closing(c.v, false, {}));
        EXPECT_TRUE(result.flags.corrupt);
        EXPECT_FALSE(result.flags.readError);
    }
}

// Every known type of the early layout is consumed silently, a long-form type like a short one.
TEST(FilesystemTables, EarlyLayoutConsumesEachKnownEntry) {
    for (Version v : earlyQrtbVersions) {
        SCOPED_TRACE(versionName(v));
        DbBuilder b = tableStart(v, 4);
        b.compact(3);
        b.compact(0).str("{guid}").str("C:\\").str("").u32(1).u8(2).u64(3).u64(4);
        b.compactLong(1).str("plain");
        b.compact(2).str("D:\\").u8(5).u8(6).u32(7).u64(8);
        tableEnd(b, v);
        b.u32(0).compact(1).compact(0).raw("a");           // NTFS: nothing after a file's name
        b.u32(1).u8(0x09).compact(1).compact(1).raw("b");  // type 1: flag byte, name, 4 + 8 bytes
        b.repeat(12, filler);
        b.u32(2).compact(1).compact(1).raw("c");
        b.u32(3).compact(1).compact(1).raw("d");  // past the last filesystem

        InMemoryConversion result = convertInMemory(b.bytes());
        EXPECT_EQ(readerLines(result.console), headLines(v, 4) + "filesystem count: 3\n"
                                                                 "Loading files...\n"
                                                                 "invalid parent folder offset 3 >= 3\n"
                                                                 "Conversion complete!\n");
        EXPECT_EQ(result.csv, headerLineOf(v) + "\"a\",0\r\n\"b\",0\r\n\"c\",0\r\n");
        EXPECT_TRUE(result.flags.corrupt);
        EXPECT_FALSE(result.flags.readError);
    }
}

// An empty table leaves no filesystem for a file to hang from.
TEST(FilesystemTables, EmptyTable) {
    for (Version v : qrtbVersions) {
        SCOPED_TRACE(versionName(v));
        DbBuilder b = tableStart(v, 1);
        b.compact(0);
        tableEnd(b, v);
        b.u32(0).compact(1).compact(0).raw("a");

        InMemoryConversion result = convertInMemory(b.bytes());
        EXPECT_EQ(readerLines(result.console), headLines(v, 1) + "filesystem count: 0\n" +
                                                   (isLate(v) ? "Exclude flags 00\n" : "") +
                                                   "Loading files...\n"
                                                   "invalid parent folder offset 0 >= 0\n"
                                                   "Conversion complete!\n");
        EXPECT_EQ(result.csv, headerLineOf(v));
        EXPECT_TRUE(result.flags.corrupt);
    }
}

}  // namespace
}  // namespace catadump::test
