// Structural errors in QRTb databases: each prints its message, raises the corrupt flag, ends the reader
// with "Conversion complete!" and keeps exactly the rows written before it (none before the folder rows
// are written, then the folder rows and the earlier files). Through the program the driver adds
// "Error: database corrupt" and the run ends with exit code 2.
#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "reader17_fixture.h"

namespace catadump::test {
namespace {

// Folders docs (root) and docs\old, files docs\old\a.txt, b.txt (on the filesystem) and docs\c:
// folders are 0 and 1, the one filesystem is 2.
Tree baseTree() {
    Tree tree;
    tree.folders = {{.parent = 2, .name = "docs"}, {.parent = 0, .name = "old"}};
    tree.files = {{.parent = 1, .name = "a.txt"}, {.parent = 2, .name = "b.txt"}, {.parent = 0, .name = "c"}};
    return tree;
}

const std::vector<std::string> basePaths = {"docs", "docs\\old", "docs\\old\\a.txt", "b.txt", "docs\\c"};

enum class Phase { hierarchy, folders, files };

struct StructuralError {
    std::string name;
    std::function<void(Tree&)> damage;
    Phase phase;          // where the reader stops
    std::string message;  // the line it prints
    size_t rowsKept;      // of the base tree's rows, in order
};

void PrintTo(const StructuralError& c, std::ostream* out) { *out << c.name; }

const StructuralError structuralErrors[] = {
    {"FolderParentAtLimit", [](Tree& t) { t.folders[1].parent = 3; }, Phase::hierarchy,
     "invalid folder offset 3 >= 3", 0},
    {"FolderParentLargest", [](Tree& t) { t.folders[0].parent = 0xFFFFFFFF; }, Phase::hierarchy,
     "invalid folder offset 4294967295 >= 3", 0},
    {"FolderStripPastPreviousName", [](Tree& t) { t.folders[1] = {.parent = 0, .name = "x", .strip = 5}; },
     Phase::folders, "Invalid folder code offset 5 > 4.", 0},
    {"FolderStripLongForm", [](Tree& t) { t.folders[1] = {.parent = 0, .name = "x", .strip = 0x80000000, .longCounts = true}; },
     Phase::folders, "Invalid folder code offset -2147483648 > 4.", 0},
    {"FileParentAtLimit", [](Tree& t) { t.files[1].parent = 3; }, Phase::files,
     "invalid parent folder offset 3 >= 3", 3},
    {"FileParentLargest", [](Tree& t) { t.files[0].parent = 0xFFFFFFFF; }, Phase::files,
     "invalid parent folder offset 4294967295 >= 3", 2},
    {"FileStripPastPreviousName", [](Tree& t) { t.files[2] = {.parent = 0, .name = "c", .strip = 6}; },
     Phase::files, "Invalid file code offset 6 > 5.", 4},
    {"FirstFileStripAgainstEmptyName", [](Tree& t) { t.files[0] = {.parent = 1, .name = "a.txt", .strip = 1}; },
     Phase::files, "Invalid file code offset 1 > 0.", 2},
    // A parent chain that never reaches a root folder.
    {"FolderIsItsOwnParent", [](Tree& t) { t.folders[0].parent = 0; }, Phase::hierarchy,
     "folder 0 is its own ancestor: its parent chain never reaches a root folder", 0},
    {"TwoFoldersParentEachOther", [](Tree& t) { t.folders[0].parent = 1; }, Phase::hierarchy,
     "folder 0 is its own ancestor: its parent chain never reaches a root folder", 0},
    {"LoopBehindARootAndAChain",
     [](Tree& t) {
         // 0 is a root; 1 -> 2 -> 3 -> 4 -> 2 never reaches one.
         t.folders = {{.parent = 5, .name = "r"}, {.parent = 2, .name = "a"}, {.parent = 3, .name = "b"},
                      {.parent = 4, .name = "c"}, {.parent = 2, .name = "d"}};
         t.files = {{.parent = 0, .name = "f"}};
     },
     Phase::hierarchy, "folder 2 is its own ancestor: its parent chain never reaches a root folder", 0},
};

class QrtbStructuralErrors : public ::testing::TestWithParam<std::tuple<Version, StructuralError>> {
protected:
    Version v() const { return std::get<0>(GetParam()); }
    const StructuralError& error() const { return std::get<1>(GetParam()); }

    Tree damagedTree() const {
        Tree tree = baseTree();
        error().damage(tree);
        return tree;
    }

    std::string expectedCsv() const {
        std::string csv = headerLineOf(v());
        for (size_t i = 0; i < error().rowsKept; ++i) {
            csv += "\"" + basePaths[i] + closing(v(), i < 2, i < 2 ? Values{0, 0, 0, 0, 16} : Values{});
        }
        return csv;
    }

    std::string expectedConsole(const Tree& tree) const {
        std::string text = consoleStart(tree, v());
        switch (error().phase) {
        case Phase::hierarchy: text += "Loading Hierarchy...\n"; break;
        case Phase::folders: text += folderPartLines(tree, v()); break;
        case Phase::files: text += folderPartLines(tree, v()) + "Loading files...\n"; break;
        }
        return text + error().message + "\nConversion complete!\n";
    }
};

TEST_P(QrtbStructuralErrors, StopWithMessageAndKeepEarlierRows) {
    Tree tree = damagedTree();
    InMemoryConversion result = convertInMemory(database(tree, v()));
    EXPECT_EQ(result.console, expectedConsole(tree));
    EXPECT_EQ(result.csv, expectedCsv());
    EXPECT_TRUE(result.flags.corrupt);
    EXPECT_FALSE(result.flags.readError);
}

TEST_P(QrtbStructuralErrors, ProgramReportsTheDatabaseCorrupt) {
    Tree tree = damagedTree();
    TempDir directory;
    FileConversion run = convertFile(directory, database(tree, v()));
    EXPECT_EQ(run.console, run.databasePath + " opened for reading...\n" + run.outputPath +
                               " created for writing...\n" + expectedConsole(tree) + "Error: database corrupt\n");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.csv, expectedCsv());
}

INSTANTIATE_TEST_SUITE_P(, QrtbStructuralErrors,
                         ::testing::Combine(::testing::ValuesIn(qrtbVersions), ::testing::ValuesIn(structuralErrors)),
                         [](const auto& test) {
                             return versionName(std::get<0>(test.param)) + "_" + std::get<1>(test.param).name;
                         });

} // namespace
} // namespace catadump::test
