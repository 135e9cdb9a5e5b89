// Trees read from disk: order, attributes, sizes, times, and the entries that must be left out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "catagen/from_dir.h"
#include "catagen/synthetic.h"

using namespace catagen;
namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path& path, size_t size) {
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "catagen-dir-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

TEST(GenFromDirectory, ListsNamesSizesAttributesAndTimes) {
    TempDir temp;
    fs::path top = temp.path / "top";
    fs::create_directories(top / "sub" / "deeper");
    writeFile(top / ".hidden", 3);
    writeFile(top / "a.txt", 5);
    writeFile(top / "sub" / "b.bin", 10);
    writeFile(top / "sub" / "deeper" / "c", 7);
    writeFile(top / "back\\slash", 1);
    fs::create_directory_symlink("sub", top / "link");
    ::chmod((top / "a.txt").c_str(), 0444);
    timespec times[2] = {{1600000000, 0}, {1700000000, 123456789}};  // accessed, modified
    ASSERT_EQ(::utimensat(AT_FDCWD, (top / "a.txt").c_str(), times, 0), 0);

    Tree tree;
    std::ostringstream warnings;
    ASSERT_TRUE(treeFromDirectory(top.string(), {2, 0x3F}, tree, warnings));
    EXPECT_NE(warnings.str().find("back\\slash"), std::string::npos) << warnings.str();

    // Breadth first, children sorted; the symbolic link is a file and is not followed.
    ASSERT_EQ(tree.folders.size(), 3u);
    EXPECT_EQ(tree.folders[0].name, "top");
    EXPECT_EQ(tree.folders[0].parentFolder, kNoFolder);
    EXPECT_EQ(tree.folders[1].name, "sub");
    EXPECT_EQ(tree.folders[2].name, "deeper");
    EXPECT_EQ(tree.folders[2].parentFolder, 1u);
    ASSERT_EQ(tree.files.size(), 5u);
    const char* names[] = {".hidden", "a.txt", "link", "b.bin", "c"};
    const uint32_t parents[] = {0, 0, 0, 1, 2};
    const uint32_t attributes[] = {0x22, 0x21, 0x80, 0x20, 0x20};
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(tree.files[k].name, names[k]);
        EXPECT_EQ(tree.files[k].parentFolder, parents[k]) << names[k];
        EXPECT_EQ(tree.files[k].values.attributes, attributes[k]) << names[k];
    }
    EXPECT_EQ(tree.folders[1].values.attributes, 0x10u);

    // A symbolic link's size is its own length; folders total everything below them.
    EXPECT_EQ(tree.files[2].values.size, 3u);
    EXPECT_EQ(tree.folders[2].values.size, 7u);
    EXPECT_EQ(tree.folders[1].values.size, 17u);
    EXPECT_EQ(tree.folders[0].values.size, 3u + 5u + 3u + 17u);

    EXPECT_EQ(tree.files[1].values.modified, (1700000000ull + 11644473600ull) * 10000000ull + 1234567ull);
    EXPECT_EQ(tree.files[1].values.accessed, (1600000000ull + 11644473600ull) * 10000000ull);
    EXPECT_EQ(tree.filesystems.at(0).path, fs::canonical(top).string());
}

TEST(GenFromDirectory, RefusesWhatIsNotADirectory) {
    TempDir temp;
    writeFile(temp.path / "plain", 1);
    Tree tree;
    std::ostringstream warnings;
    EXPECT_FALSE(treeFromDirectory((temp.path / "plain").string(), {}, tree, warnings));
    EXPECT_FALSE(treeFromDirectory((temp.path / "missing").string(), {}, tree, warnings));
    EXPECT_NE(warnings.str().find("not a readable directory"), std::string::npos);
}

TEST(GenFileTime, CountsHundredNanosecondTicksFrom1601) {
    EXPECT_EQ(fileTimeFromUnix(0, 0), 116444736000000000ull);
    EXPECT_EQ(fileTimeFromUnix(1, 999), 116444736010000009ull);
    EXPECT_EQ(fileTimeFromUnix(-11644473600, 0), 0u);
    EXPECT_EQ(fileTimeFromUnix(-11644473601, 0), 0u);
}

}  // namespace
