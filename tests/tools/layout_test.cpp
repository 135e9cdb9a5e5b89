// Byte-exact layouts of tiny databases, written out by hand from the format's rules, one per layout
// family: late 1.7 (1.7.20), early 1.7 (1.7.5) and 1.6.7. Each tree is small but passes through every
// branch of its layout: filesystem types with and without record flag bytes and tail fields, a repeated
// name, a name that is a prefix of the one before, a file hanging from a filesystem, a root folder named
// by its filesystem's path.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "catagen/encode.h"
#include "catagen/expected_csv.h"

using namespace catagen;

namespace {

std::string b(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

// Stored values; accessed dates stay 0 in these trees.
Values v(uint32_t attributes, uint64_t size = 0, uint8_t recordFlags = 0, uint64_t created = 0,
         uint64_t modified = 0) {
    Values values;
    values.attributes = attributes;
    values.size = size;
    values.recordFlags = recordFlags;
    values.created = created;
    values.modified = modified;
    return values;
}

// The QRTb tree: a type-0 filesystem holding docs\old, a type-1 filesystem holding "net" and a file
// directly under it.
Tree qrtbTree() {
    Tree tree;
    tree.settings.flags = 0x11;  // file sizes and attributes
    tree.settings.excludeFlags = 0x05;
    tree.settings.blobLists[0] = {{7, "ab"}};
    Filesystem ntfs;
    ntfs.type = 0;
    ntfs.guid = "g";
    ntfs.path = "C:";
    ntfs.root = "R";
    ntfs.outOfDate = 1;
    ntfs.journalId = 0x0102;
    ntfs.nextUsn = 3;
    Filesystem other;
    other.type = 1;
    other.path = "N";
    other.nextUsn = 9;
    tree.filesystems = {ntfs, other};
    tree.folders = {
        {"docs", kNoFolder, 0, v(0x10)},
        {"old", 0, 0, v(0x11)},
        {"net", kNoFolder, 1, v(0x12, 0, 0xAA, 0x77)},
    };
    tree.files = {
        {"a.txt", 1, 0, v(0x20, 512, 0xFF)},
        {"a.txt", 2, 0, v(0x21, 1, 0x0F)},
        {"b", kNoFolder, 1, v(0x80, 2, 0x01)},
    };
    return tree;
}

TEST(GenLayout, Late17MatchesHandWrittenBytes) {
    std::string expected =
        "QRTb" + b({0x14, 0, 7, 1}) + b({0x11, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0}) +  // flags, F, N
        b({2}) +                                                                    // filesystem count
        b({0, 1, 1, 'g', 2, 'C', ':', 1, 'R', 0, 2, 1, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}) +
        b({1, 0, 1, 'N', 9, 0, 0, 0, 0, 0, 0, 0}) + b({5}) +  // exclude flags
        b({1, 7, 2, 'a', 'b', 0, 0}) +                        // three blob lists
        b({3, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}) +             // hierarchy: F+0, folder 0, F+1
        // docs: name, attributes, type-0 tail (a reference number)
        b({4, 0, 'd', 'o', 'c', 's', 0x10, 0, 0, 0, 16, 0, 0, 0, 0, 0, 1, 0}) +
        b({3, 4, 'o', 'l', 'd', 0x11, 0, 0, 0, 17, 0, 0, 0, 0, 0, 2, 0}) +
        // net on the type-1 filesystem: record flag byte first, no tail
        b({0xAA, 3, 3, 'n', 'e', 't', 0x12, 0, 0, 0}) +
        b({1, 0, 0, 0, 5, 0, 'a', '.', 't', 'x', 't', 0, 2, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0}) +
        // the same name again under net: suffix length 0 alone
        b({2, 0, 0, 0, 0x0F, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x21, 0, 0, 0}) +
        b({4, 0, 0, 0, 0x01, 1, 5, 'b', 2, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0});
    EXPECT_EQ(encodeDatabase(qrtbTree(), Version::v1_7_20), expected);

    // The same body under the other late version word.
    std::string as17 = encodeDatabase(qrtbTree(), Version::v1_7_17);
    EXPECT_EQ(as17.substr(0, 8), "QRTb" + b({0x11, 0, 7, 1}));
    EXPECT_EQ(as17.substr(8), expected.substr(8));

    EXPECT_EQ(expectedCsv(qrtbTree(), Version::v1_7_20),
              "Filename,Size,Date Created,Date Modified,Date Accessed,Attributes\r\n"
              "\"docs\",0,0,0,0,16\r\n"
              "\"docs\\old\",0,0,0,0,17\r\n"
              "\"net\",0,0,0,0,18\r\n"
              "\"docs\\old\\a.txt\",512,0,0,0,32\r\n"
              "\"net\\a.txt\",1,0,0,0,33\r\n"
              "\"b\",2,0,0,0,128\r\n");
}

TEST(GenLayout, Early17MatchesHandWrittenBytes) {
    std::string body =
        b({2}) +
        b({0, 1, 'g', 2, 'C', ':', 1, 'R', 0, 0, 0, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}) +
        b({1, 1, 'N'}) +                           // type 1: the path alone
        b({1, 7, 2, 'a', 'b', 0, 0}) +             // blob lists, no exclude flags byte
        b({3, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}) +  // hierarchy
        b({2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}) +  // NTFS folder list: docs and old
        b({4, 0, 'd', 'o', 'c', 's', 16, 0, 0, 0, 0, 0, 1, 0}) +
        b({3, 4, 'o', 'l', 'd', 17, 0, 0, 0, 0, 0, 2, 0}) +
        // flag byte 0xAA on a folder announces only 0x02: eight bytes of creation date
        b({0xAA, 3, 3, 'n', 'e', 't', 0x77, 0, 0, 0, 0, 0, 0, 0}) +
        b({1, 0, 0, 0, 5, 0, 'a', '.', 't', 'x', 't'}) +  // on NTFS: nothing after the name
        // 0x0F on a file: attributes, created, modified, size
        b({2, 0, 0, 0, 0x0F, 0, 0x21, 0, 0, 0}) + std::string(16, '\0') + b({1, 0, 0, 0, 0, 0, 0, 0}) +
        b({4, 0, 0, 0, 0x01, 1, 5, 'b', 0x80, 0, 0, 0});
    std::string header = b({0x11, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0});
    // 1.7.5 adds the decode size: the folder names with a terminator each, 5 + 4 + 4.
    EXPECT_EQ(encodeDatabase(qrtbTree(), Version::v1_7_5),
              "QRTb" + b({5, 0, 7, 1}) + header + b({13, 0, 0, 0}) + body);
    EXPECT_EQ(encodeDatabase(qrtbTree(), Version::v1_7_8), "QRTb" + b({8, 0, 7, 1}) + header + body);

    EXPECT_EQ(expectedCsv(qrtbTree(), Version::v1_7_8),
              "Filename,Attributes\r\n\"docs\",16\r\n\"docs\\old\",16\r\n\"net\",16\r\n"
              "\"docs\\old\\a.txt\",0\r\n\"net\\a.txt\",0\r\n\"b\",0\r\n");
}

TEST(GenLayout, Early17RejectsTypeThreeFilesystems) {
    Tree tree = qrtbTree();
    tree.filesystems[1].type = 3;
    EXPECT_THROW(encodeDatabase(tree, Version::v1_7_8), std::invalid_argument);
    EXPECT_NO_THROW(encodeDatabase(tree, Version::v1_7_20));
}

// C: holding Users\Use, and two files. Root folders are named by their filesystem's path and stay out of
// the front coding; "Use" is a prefix of "Users" and must keep one byte less.
Tree qwtbTree() {
    Tree tree;
    tree.settings.flags = 0x06;
    tree.settings.mountPoints = {{0x10, 2}};
    tree.settings.excludes = {{1, "*.tmp"}};
    Filesystem fs;
    fs.path = "C:";
    fs.guid = "G";
    fs.serial = 0x11223344;
    fs.journalId = 5;
    fs.nextUsn = 6;
    tree.filesystems = {fs};
    tree.folders = {
        {"ignored", kNoFolder, 0, v(0x10, 0, 0, 0, 0x0A)},
        {"Users", 0, 0, v(0x10)},
        {"Use", 1, 0, v(0x10)},
    };
    tree.files = {{"a", 2, 0, {}}, {"ab", 0, 0, {}}};
    return tree;
}

TEST(GenLayout, V167MatchesHandWrittenBytes) {
    // Slots: root 17 + 2 at 0, Users 13 + 5 at 19, Use 13 + 3 at 37; decode size 53.
    std::string expected =
        "QWTB" + b({7, 0, 6, 1}) + b({6, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 53, 0, 0, 0}) +
        b({13, 0, 0, 0, 12, 0, 0, 0, 14, 0, 0,
           0}) +  // file area 6 + 7; longest paths C:\Users\Use, C:\Users\Use\a
        b({1, 0, 2, 'C', ':', 1, 'G', 0x44, 0x33, 0x22, 0x11, 5, 0, 0,
           0, 0, 0, 0,   0,   6, 0,   0,    0,    0,    0,    0, 0}) +
        b({1, 0x10, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}) +                             // mount point monitors
        b({1, 1, 5, '*', '.', 't', 'm', 'p'}) +                                     // exclude list
        b({0x0A, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0, 0, 0, 0}) +  // root: filesystem index
        b({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 5, 0, 'U', 's', 'e', 'r', 's'}) +
        b({0, 0, 0, 0, 0, 0, 0, 0, 19, 0, 0, 0, 0x10, 0, 0, 0, 1, 3, 'e'}) + b({37, 0, 0, 0, 1, 0, 'a'}) +
        b({0, 0, 0, 0, 1, 0, 'b'});
    EXPECT_EQ(encodeDatabase(qwtbTree(), Version::v1_6_7), expected);
    EXPECT_EQ(expectedCsv(qwtbTree(), Version::v1_6_7),
              "Filename,Attributes\r\n\"C:\",16\r\n\"C:\\Users\",16\r\n\"C:\\Users\\Use\",16\r\n"
              "\"C:\\Users\\Use\\a\",0\r\n\"C:\\ab\",0\r\n");
}

TEST(GenLayout, V166MatchesHandWrittenBytes) {
    // Slots of 14 + name: 21 at 0, 19 at 21, 17 at 40; decode size 57. The root keeps its own name.
    std::string drives = std::string(2, '\0') +
                         b({1, 0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0}) +
                         std::string(23, '\0');  // only C: is included
    std::string expected =
        "QWTB" + b({6, 0, 6, 1}) + b({6, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 57, 0, 0, 0}) + b({13, 0, 0, 0}) +
        drives + b({1, 0, 0, 0, 1, 5, 0, 0, 0, '*', '.', 't', 'm', 'p'}) +
        b({0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0, 0, 0}) +
        b({7, 0, 'i', 'g', 'n', 'o', 'r', 'e', 'd'}) +
        b({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 5, 7, 'U', 's', 'e', 'r', 's'}) +
        b({0, 0, 0, 0, 0, 0, 0, 0, 0, 21, 0, 0, 0, 0x10, 0, 0, 0, 1, 3, 'e'}) + b({40, 0, 0, 0, 1, 0, 'a'}) +
        b({0, 0, 0, 0, 1, 0, 'b'});
    EXPECT_EQ(encodeDatabase(qwtbTree(), Version::v1_6_6), expected);
    EXPECT_EQ(
        expectedCsv(qwtbTree(), Version::v1_6_6),
        "Filename,Attributes\r\n\"ignored\",16\r\n\"ignored\\Users\",16\r\n\"ignored\\Users\\Use\",16\r\n"
        "\"ignored\\Users\\Use\\a\",0\r\n\"ignored\\ab\",0\r\n");
}

TEST(GenLayout, OldFamilyFilesMustHangFromAFolder) {
    Tree tree = qwtbTree();
    tree.files.push_back({"loose", kNoFolder, 0, {}});
    EXPECT_THROW(encodeDatabase(tree, Version::v1_6_6), std::invalid_argument);
    EXPECT_THROW(encodeDatabase(tree, Version::v1_6_7), std::invalid_argument);
    EXPECT_NO_THROW(encodeDatabase(tree, Version::v1_7_20));
}

TEST(GenLayout, RejectsTreesTheConverterCouldNotReadBack) {
    Tree loop = qwtbTree();
    loop.folders[1].parentFolder = 2;  // Users and Use are each other's parent
    EXPECT_THROW(encodeDatabase(loop, Version::v1_7_20), std::invalid_argument);
    Tree slash = qwtbTree();
    slash.files[0].name = "a\\b";
    EXPECT_THROW(encodeDatabase(slash, Version::v1_7_20), std::invalid_argument);
    Tree empty = qwtbTree();
    empty.folders[2].name.clear();
    EXPECT_THROW(encodeDatabase(empty, Version::v1_6_6), std::invalid_argument);
}

}  // namespace
