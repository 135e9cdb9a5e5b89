// Counts and lengths that a QRTb database declares but does not back with data: about 1 KB of bytes that
// announce four billion filesystems or NTFS folders, folders and filesystems together past 2^32, or a
// list or string of billions of bytes. The conversion ends as soon as the data does, with the read-error
// flag and no row; its work and memory follow the bytes present, not the declared sizes. Folder and file
// counts and name lengths of every version are in tests/damage/damaged_input_test.cpp.
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "reader17_fixture.h"

namespace catadump::test {
namespace {

constexpr uint32_t declared = 4000000000u;
const std::string declaredAsInt = "-294967296";  // as "%d" prints it

// How much more memory than on a small database that converts cleanly the program may use on any of
// these. Measured against that baseline, the bound holds for sanitizer builds too.
constexpr long extraMemoryKiB = 24 * 1024;

long baselineKiB() {
    static const long baseline = [] {
        TempDir directory;
        std::string path =
            directory.write("Quillseek.db", database(richTree(Version::v1_7_20), Version::v1_7_20));
        ProgramRun run = runProgram({path, directory.pathOf("out.qlx")});
        return run.exitCode == 0 ? run.maxResidentKiB : -1;
    }();
    return baseline;
}

struct Overstated {
    std::string name;
    bool earlyOnly;
    std::function<std::string(Version)> database;
    std::string from;                             // the console line the expected text starts at
    std::function<std::string(Version)> console;  // expected, from that line on
};

void PrintTo(const Overstated& c, std::ostream* out) { *out << c.name; }

// `count` root folders on the first filesystem of a table of `filesystems`, of `folders` declared.
Tree rootFolders(uint32_t count, uint32_t folders = declared, size_t filesystems = 1) {
    Tree tree;
    tree.declaredFolders = folders;
    tree.filesystems.assign(filesystems, {2});
    for (uint32_t i = 0; i < count; ++i) tree.folders.push_back({.parent = folders, .name = "r"});
    return tree;
}

// Folders and filesystems together beyond 2^32: every reference is valid, none wraps round to look invalid.
Tree widestReferences() { return rootFolders(250, 0xFFFFFFFF, 2); }

// A tree without folders or files whose filesystem table is written by the case itself.
Tree bare() {
    Tree tree;
    tree.filesystems.clear();
    return tree;
}

std::string headerOnly(Version v) {
    DbBuilder b;
    b.header("QRTb", versionWord(1, 7, buildOf(v))).u32(0).u32(0).u32(0);
    if (v == Version::v1_7_5) b.u32(0);
    return b.bytes();
}

std::vector<Overstated> overstatedCases() {
    return {
        {"FoldersAndFilesystemsPast32Bits", false,
         [](Version v) { return bodyStart(widestReferences(), v).bytes(); }, "Loading",
         [](Version) { return std::string("Loading Hierarchy...\nConversion complete!\n"); }},
        {"Filesystems", false,
         [](Version v) {
             DbBuilder b;
             b.raw(headerOnly(v)).compact(declared);
             for (int i = 0; i < 100; ++i) {
                 b.compact(1);
                 if (isLate(v)) b.u8(0);
                 b.str("plain");
                 if (isLate(v)) b.u64(0);
             }
             return b.bytes();
         },
         "filesystem count",
         [](Version v) {
             std::string text = "filesystem count: " + declaredAsInt + "\n";
             if (isLate(v)) {
                 // The entry after the data's end is not read in full, so it prints nothing.
                 for (int i = 0; i < 100; ++i)
                     text += printed("filesystem %d: type 1\nfilesystem %d: out of date 0\n", i, i);
             }
             return text + "Conversion complete!\n";
         }},
        {"NtfsFolderList", true,
         [](Version v) {
             Tree tree = rootFolders(1);
             tree.declaredFolders.reset();
             tree.folders[0].parent = 1;
             tree.declaredNtfsFolders = declared;
             return bodyStart(tree, v).repeat(1000, 0x01).bytes();
         },
         "Loading",
         [](Version) {
             return "Loading Hierarchy...\nNTFS folder count: " + declaredAsInt + "\nConversion complete!\n";
         }},
        {"BlobItemLength", false,
         [](Version v) {
             DbBuilder b = bodyHead(bare(), v);
             b.compact(1).u8(7).compact(declared).raw(noisyBytes(1000));
             return b.bytes();
         },
         "filesystem count",
         [](Version v) {
             return std::string("filesystem count: 0\n") + (isLate(v) ? "Exclude flags 00\n" : "") +
                    "Conversion complete!\n";
         }},
        {"CountedStringLength", false,
         [](Version v) {
             DbBuilder b;
             b.raw(headerOnly(v)).compact(1).compact(2);
             if (isLate(v)) b.u8(0);
             b.compact(0xFFFFFFFE).raw(noisyBytes(1000));
             return b.bytes();
         },
         "filesystem count",
         [](Version v) {
             // The entry whose path runs past the data is not printed beyond its type.
             std::string table = isLate(v) ? "filesystem 0: type 2\nfilesystem 0: out of date 0\n" : "";
             return "filesystem count: 1\n" + table + "Conversion complete!\n";
         }},
    };
}

std::vector<std::tuple<Version, Overstated>> overstatedParams() {
    std::vector<std::tuple<Version, Overstated>> params;
    for (Version v : qrtbVersions) {
        for (const Overstated& c : overstatedCases()) {
            if (!c.earlyOnly || !isLate(v)) params.emplace_back(v, c);
        }
    }
    return params;
}

class QrtbOverstatedSizes : public ::testing::TestWithParam<std::tuple<Version, Overstated>> {
  protected:
    Version v() const { return std::get<0>(GetParam()); }
    const Overstated& overstated() const { return std::get<1>(GetParam()); }
};

TEST_P(QrtbOverstatedSizes, EndWithTheDataAndKeepOnlyWholeRecords) {
    std::string bytes = overstated().database(v());
    ASSERT_LT(bytes.size(), 2000u);
    InMemoryConversion result = convertInMemory(bytes);
    EXPECT_EQ(consoleFrom(result.console, overstated().from), overstated().console(v())) << result.console;
    EXPECT_EQ(result.csv, headerLineOf(v()));
    EXPECT_TRUE(result.flags.readError);
    EXPECT_FALSE(result.flags.corrupt);
}

TEST_P(QrtbOverstatedSizes, ProgramStaysSmall) {
    TempDir directory;
    std::string path = directory.write("Quillseek.db", overstated().database(v()));
    ProgramRun run = runProgram({path, directory.pathOf("out.qlx")});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.console.ends_with("Conversion complete!\nError: Encounted atleast one read error\n"))
        << run.console;
    ASSERT_GT(baselineKiB(), 0);
    EXPECT_LT(run.maxResidentKiB, baselineKiB() + extraMemoryKiB) << "baseline " << baselineKiB() << " KiB";
}

INSTANTIATE_TEST_SUITE_P(, QrtbOverstatedSizes, ::testing::ValuesIn(overstatedParams()),
                         [](const auto& test) {
                             return versionName(std::get<0>(test.param)) + "_" + std::get<1>(test.param).name;
                         });

}  // namespace
}  // namespace catadump::test
