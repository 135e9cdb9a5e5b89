// The QWTB family names parents by decode offset. These tests parse the generator's 1.6.6 and 1.6.7
// output with the tests' own reader, lay out the decoded folder area from the decoded names alone, and
// check that the declared decode size and every parent offset agree with it and with the tree.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "tools/byte_reader.h"

using namespace catagen;
using namespace catagen_test;

namespace {

struct ParsedFolder {
    uint32_t parentOffset = 0;
    std::string name;  // for a 1.6.7 root folder: its filesystem's path
};

struct ParsedBody {
    uint32_t decodeSize = 0;
    std::vector<ParsedFolder> folders;
    std::vector<std::pair<uint32_t, std::string>> files;  // parent offset, name
};

ParsedBody parseOldFamily(std::string_view db, bool is167) {
    ByteReader r{db};
    EXPECT_EQ(bytes(r, 4), "QWTB");
    EXPECT_EQ(u32(r), is167 ? 0x01060007u : 0x01060006u);
    ParsedBody body;
    u32(r);  // flags
    uint32_t folders = u32(r), files = u32(r);
    body.decodeSize = u32(r);
    u32(r);  // file decode size
    std::vector<std::string> paths;
    if (is167) {
        u32(r), u32(r);  // longest paths
        for (uint32_t n = compact(r), i = 0; i < n; ++i) {
            EXPECT_EQ(compact(r), 0u);
            paths.push_back(countedString(r));
            countedString(r), u32(r), u64(r), u64(r);
        }
        for (uint32_t n = compact(r), i = 0; i < n; ++i) u64(r), u32(r);
        for (uint32_t n = compact(r), i = 0; i < n; ++i) compact(r), countedString(r);
    } else {
        for (int drive = 0; drive < 26; ++drive)
            if (u8(r)) u32(r), u64(r), u64(r);
        for (uint32_t n = u32(r), i = 0; i < n; ++i) u8(r), bytes(r, u32(r));
    }
    std::string previous;
    for (uint32_t i = 0; i < folders; ++i) {
        if (!is167) u8(r);
        u64(r);
        ParsedFolder folder;
        folder.parentOffset = u32(r);
        u32(r);
        if (is167 && folder.parentOffset == 0xFFFFFFFFu)
            folder.name = paths.at(compact(r));
        else
            folder.name = frontCodedName(r, previous, true);
        body.folders.push_back(folder);
    }
    previous.clear();
    for (uint32_t i = 0; i < files; ++i) {
        uint32_t parent = u32(r);
        body.files.emplace_back(parent, frontCodedName(r, previous, true));
    }
    EXPECT_EQ(r.at, db.size()) << "bytes after the last file record";
    return body;
}

SyntheticParams oldFamilyParams(uint64_t seed) {
    SyntheticParams p;
    p.seed = seed;
    p.folders = 400;
    p.files = 3000;
    p.depth = 7;
    p.maxNameLength = 255;
    p.filesystems = 3;
    p.forwardReferencePercent = 15;
    return p;
}

class GenDecodeOffsets : public ::testing::TestWithParam<Version> {};

TEST_P(GenDecodeOffsets, MatchTheSlotsOfTheDecodedNames) {
    const bool is167 = GetParam() == Version::v1_6_7;
    for (uint64_t seed : {1u, 2u, 3u}) {
        Tree tree = makeSyntheticTree(oldFamilyParams(seed));
        materializeFiles(tree);
        ParsedBody body = parseOldFamily(encodeDatabase(tree, GetParam()), is167);
        ASSERT_EQ(body.folders.size(), tree.folders.size());
        ASSERT_EQ(body.files.size(), tree.files.size());

        // Slot sizes from the format's rules, applied to what was decoded.
        std::map<uint32_t, uint32_t> folderAt;
        uint64_t offset = 0;
        for (size_t i = 0; i < body.folders.size(); ++i) {
            folderAt[static_cast<uint32_t>(offset)] = static_cast<uint32_t>(i);
            bool root = body.folders[i].parentOffset == 0xFFFFFFFFu;
            offset += (is167 ? (root ? 17 : 13) : 14) + body.folders[i].name.size();
        }
        EXPECT_EQ(body.decodeSize, offset) << "seed " << seed;

        bool parentAfterChild = false;
        for (size_t i = 0; i < body.folders.size(); ++i) {
            const Entry& folder = tree.folders[i];
            if (folder.parentFolder == kNoFolder) {
                EXPECT_EQ(body.folders[i].parentOffset, 0xFFFFFFFFu);
                EXPECT_EQ(body.folders[i].name,
                          is167 ? tree.filesystems[folder.filesystem].path : folder.name);
                continue;
            }
            EXPECT_EQ(body.folders[i].name, folder.name);
            auto found = folderAt.find(body.folders[i].parentOffset);
            ASSERT_NE(found, folderAt.end()) << "folder " << i << " names no slot";
            EXPECT_EQ(found->second, folder.parentFolder) << "folder " << i;
            parentAfterChild |= folder.parentFolder > i;
        }
        EXPECT_TRUE(parentAfterChild) << "the trees are meant to hold forward references";
        for (size_t k = 0; k < body.files.size(); ++k) {
            auto found = folderAt.find(body.files[k].first);
            ASSERT_NE(found, folderAt.end()) << "file " << k << " names no slot";
            EXPECT_EQ(found->second, tree.files[k].parentFolder);
            EXPECT_EQ(body.files[k].second, tree.files[k].name);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(OldFamily, GenDecodeOffsets, ::testing::Values(Version::v1_6_6, Version::v1_6_7));

Tree oneFolderTree(const std::string& folderName, const std::string& fileName) {
    Tree tree;
    Filesystem fs;
    fs.path = "C:";
    tree.filesystems = {fs};
    tree.folders = {{"C:", kNoFolder, 0, {}}, {folderName, 0, 0, {}}};
    tree.files = {{fileName, 1, 0, {}}};
    return tree;
}

TEST(GenLongNames, OldFamilyStoresAtMost255Bytes) {
    for (Version version : {Version::v1_6_6, Version::v1_6_7}) {
        EXPECT_NO_THROW(encodeDatabase(oneFolderTree(std::string(255, 'd'), std::string(255, 'f')), version));
        EXPECT_THROW(encodeDatabase(oneFolderTree(std::string(256, 'd'), "f"), version),
                     std::invalid_argument);
        EXPECT_THROW(encodeDatabase(oneFolderTree("d", std::string(256, 'f')), version),
                     std::invalid_argument);
    }
    // The 1.7 family has compact counts and takes them.
    EXPECT_NO_THROW(
        encodeDatabase(oneFolderTree(std::string(300, 'd'), std::string(70000, 'f')), Version::v1_7_20));
    // A 1.6.7 root folder is named by its path, a counted string of any length.
    Tree longPath = oneFolderTree("d", "f");
    longPath.filesystems[0].path = std::string(300, 'p');
    longPath.folders[0].name = std::string(300, 'r');
    ParsedBody body = parseOldFamily(encodeDatabase(longPath, Version::v1_6_7), true);
    EXPECT_EQ(body.folders[0].name, std::string(300, 'p'));
    EXPECT_EQ(body.decodeSize, 17u + 300u + 13u + 1u);
}

TEST(GenLongNames, AreCutWithAWarning) {
    Tree tree = oneFolderTree(std::string(300, 'd'), std::string(256, 'f'));
    std::ostringstream warnings;
    EXPECT_EQ(limitNameLengths(tree, 255, warnings), 2u);
    EXPECT_EQ(tree.folders[1].name, std::string(255, 'd'));
    EXPECT_EQ(tree.files[0].name, std::string(255, 'f'));
    EXPECT_NE(warnings.str().find("folder name cut to 255 bytes"), std::string::npos);
    EXPECT_NO_THROW(encodeDatabase(tree, Version::v1_6_6));

    // Files made on demand are cut as they are made.
    SyntheticParams p;
    p.minNameLength = 250;
    p.maxNameLength = 400;
    Tree synthetic = makeSyntheticTree(p);
    limitNameLengths(synthetic, 255, warnings);
    size_t longest = 0;
    forEachFile(synthetic, [&](const Entry& file) {
        longest = std::max(longest, file.name.size());
        return true;
    });
    EXPECT_EQ(longest, 255u);
    EXPECT_NO_THROW(encodeDatabase(synthetic, Version::v1_6_7));
}

}  // namespace
