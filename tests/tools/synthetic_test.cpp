// Synthetic trees: the same seed gives the same database, and the shape parameters are honoured.
#include <gtest/gtest.h>

#include <algorithm>

#include "catagen/encode.h"
#include "catagen/expected_csv.h"
#include "catagen/synthetic.h"

using namespace catagen;

namespace {

SyntheticParams shapedParams() {
    SyntheticParams p;
    p.seed = 11;
    p.folders = 500;
    p.files = 4000;
    p.depth = 4;
    p.minNameLength = 5;
    p.maxNameLength = 12;
    p.filesystems = 3;
    p.filesystemTypes = {0, 1, 2, 3};
    p.forwardReferencePercent = 10;
    p.filesystemFilePercent = 20;
    p.blobItems = 2;
    return p;
}

std::vector<Entry> filesOf(const Tree& tree) {
    std::vector<Entry> files;
    forEachFile(tree, [&](const Entry& file) {
        files.push_back(file);
        return true;
    });
    return files;
}

TEST(GenSynthetic, SameSeedSameDatabase) {
    SyntheticParams p = shapedParams();
    EncodeOptions mixed{CountForm::Mixed, 5};
    std::string first = encodeDatabase(makeSyntheticTree(p), Version::v1_7_20, mixed);
    Tree again = makeSyntheticTree(p);
    EXPECT_EQ(encodeDatabase(again, Version::v1_7_20, mixed), first);
    // The producer gives the same files on every pass over the same tree.
    EXPECT_EQ(encodeDatabase(again, Version::v1_7_20, mixed), first);
    EXPECT_EQ(expectedCsv(again, Version::v1_7_20), expectedCsv(makeSyntheticTree(p), Version::v1_7_20));

    p.seed = 12;
    EXPECT_NE(encodeDatabase(makeSyntheticTree(p), Version::v1_7_20, mixed), first);
}

TEST(GenSynthetic, HonoursTheShapeParameters) {
    SyntheticParams p = shapedParams();
    Tree tree = makeSyntheticTree(p);
    ASSERT_EQ(tree.folders.size(), 500u);
    ASSERT_EQ(tree.filesystems.size(), 3u);
    EXPECT_EQ(tree.filesystems[1].type, 1u);
    EXPECT_EQ(tree.filesystems[2].type, 2u);
    for (const auto& list : tree.settings.blobLists) EXPECT_EQ(list.size(), 2u);

    std::vector<std::string> paths = folderPaths(tree, false);
    bool parentAfterChild = false;
    for (size_t i = 0; i < tree.folders.size(); ++i) {
        EXPECT_LE(std::count(paths[i].begin(), paths[i].end(), '\\'), 3) << paths[i];
        const Entry& folder = tree.folders[i];
        if (folder.parentFolder == kNoFolder) continue;
        EXPECT_GE(folder.name.size(), 5u);
        EXPECT_LE(folder.name.size(), 12u);
        parentAfterChild |= folder.parentFolder > i;
    }
    EXPECT_TRUE(parentAfterChild);

    std::vector<Entry> files = filesOf(tree);
    ASSERT_EQ(files.size(), 4000u);
    EXPECT_EQ(fileCount(tree), 4000u);
    size_t onFilesystem = 0, firstLoose = files.size(), lastLoose = 0;
    for (size_t k = 0; k < files.size(); ++k) {
        EXPECT_GE(files[k].name.size(), 5u);
        EXPECT_LE(files[k].name.size(), 12u);
        if (files[k].parentFolder != kNoFolder) continue;
        ++onFilesystem;
        firstLoose = std::min(firstLoose, k);
        lastLoose = k;
    }
    EXPECT_EQ(onFilesystem, 800u);
    // Files on filesystems are mixed in among the folders' files, not all at one end.
    EXPECT_GT(lastLoose - firstLoose, 1000u);
}

TEST(GenSynthetic, WithoutForwardReferencesParentsComeFirst) {
    SyntheticParams p = shapedParams();
    p.forwardReferencePercent = 0;
    p.filesystemFilePercent = 0;
    Tree tree = makeSyntheticTree(p);
    for (size_t i = 0; i < tree.folders.size(); ++i)
        if (tree.folders[i].parentFolder != kNoFolder) {
            EXPECT_LT(tree.folders[i].parentFolder, i);
        }
    for (const Entry& file : filesOf(tree)) EXPECT_NE(file.parentFolder, kNoFolder);
}

TEST(GenSynthetic, EdgeShapes) {
    SyntheticParams p = shapedParams();
    p.folders = 0;
    Tree noFolders = makeSyntheticTree(p);
    std::vector<Entry> files = filesOf(noFolders);
    EXPECT_EQ(files.size(), 4000u);
    EXPECT_TRUE(
        std::all_of(files.begin(), files.end(), [](const Entry& f) { return f.parentFolder == kNoFolder; }));

    p = shapedParams();
    p.depth = 1;
    Tree flat = makeSyntheticTree(p);
    EXPECT_TRUE(std::all_of(flat.folders.begin(), flat.folders.end(),
                            [](const Entry& f) { return f.parentFolder == kNoFolder; }));

    p = shapedParams();
    p.folders = 1500;
    p.chain = 1200;
    Tree deep = makeSyntheticTree(p);
    std::vector<std::string> paths = folderPaths(deep, false);
    size_t deepest = 0;
    for (const std::string& path : paths)
        deepest = std::max(deepest, static_cast<size_t>(std::count(path.begin(), path.end(), '\\')));
    EXPECT_EQ(deepest, 1200u);
}

}  // namespace
