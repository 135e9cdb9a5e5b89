// The full paths of folders: built top folder first for chains of any depth without recursion, and the
// same whether the kept paths fit their memory budget or have to be composed for the moment.
#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "formats/qlx.h"
#include "output/csv_writer.h"
#include "readers/reader17_fixture.h"

namespace catadump::test {
namespace {

// Runs the work on a thread whose stack is far too small for one frame per folder of a deep chain.
void onSmallStack(const std::function<void()>& work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 512 * 1024), 0);
    pthread_t thread;
    auto run = [](void* argument) -> void* {
        (*static_cast<const std::function<void()>*>(argument))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&work)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

std::string chainName(uint32_t i) {
    std::string name = "d";
    return name += std::to_string(i);
}

// Gives the folder a whole name, stored with the table's own names.
void nameFolder(FolderTable& table, uint32_t folder, std::string_view name) {
    char* stored = allocateText(table.names.text, name.size());
    std::copy(name.begin(), name.end(), stored);
    setFolderNameBytes(table.names, folder, {stored, name.size()});
}

// Folder i is the parent of folder i + 1; folder 0 is the root.
void buildChain(FolderTable& table, uint32_t depth) {
    setFolderCount(table, depth);
    for (uint32_t i = 0; i < depth; ++i) {
        table.entries[i].parent = i == 0 ? noFolder : i - 1;
        nameFolder(table, i, chainName(i));
    }
}

// Everything the writer received, after a flush.
struct CapturedWriter {
    CapturedWriter() { openCsvWriter(writer, captured.run, memorySink(sink)); }
    std::string text() {
        flush(writer);
        return sink.bytes;
    }
    CapturedRun captured;
    MemorySink sink;
    CsvWriter writer;
};

TEST(FolderPaths, HundredThousandNestedFoldersTopFolderFirst) {
    constexpr uint32_t depth = 100000;
    std::string expected;
    for (uint32_t i = 0; i < depth; ++i) expected += chainName(i) + "\\";

    for (size_t budget : {size_t{64} << 20, size_t{0}}) {
        SCOPED_TRACE("path budget " + std::to_string(budget));
        FolderTable table;
        table.pathBudget = budget;
        buildChain(table, depth);
        std::string written, again, middle;
        onSmallStack([&] {
            for (std::string* text : {&written, &again}) {
                CapturedWriter out;
                writeFolderPath(out.writer, table, depth - 1);
                *text = out.text();
            }
            CapturedWriter out;
            writeFolderPath(out.writer, table, depth / 2);
            middle = out.text();
        });
        EXPECT_EQ(written.size(), expected.size());
        EXPECT_TRUE(written == expected) << written.substr(0, 80);
        EXPECT_TRUE(again == expected);
        EXPECT_TRUE(middle == expected.substr(0, expected.find(chainName(depth / 2 + 1) + "\\")));
    }
}

// Folders: top; a in top; mid in a (listed before a); x (stored with a zero byte) in mid; leaf in x.
void buildTree(FolderTable& table) {
    using namespace std::string_literals;
    const std::vector<std::pair<uint32_t, std::string>> folders = {
        {noFolder, "top"}, {3, "mid"}, {1, "x\0hidden"s}, {0, "a"}, {2, "leaf"}};
    setFolderCount(table, static_cast<uint32_t>(folders.size()));
    for (uint32_t i = 0; i < folders.size(); ++i) {
        table.entries[i].parent = folders[i].first;
        nameFolder(table, i, folders[i].second);
    }
}

TEST(FolderPaths, RowsAreTheSameWhateverThePathBudget) {
    const std::vector<std::string> folderRows = {"\"top\",16\r\n", "\"top\\a\\mid\",16\r\n",
                                                 "\"top\\a\\mid\\x\",16\r\n", "\"top\\a\",16\r\n",
                                                 "\"top\\a\\mid\\x\\leaf\",16\r\n"};
    const std::string fileRows = "\"top\\a\\mid\\x\\leaf\\f\",0\r\n\"g\",0\r\n\"top\\a\\mid\\x\\h\",0\r\n";
    for (size_t budget :
         {size_t{64} << 20, size_t{0}, size_t{1}, size_t{5}, size_t{9}, size_t{14}, size_t{30}}) {
        for (bool reverse : {false, true}) {
            SCOPED_TRACE("path budget " + std::to_string(budget) + (reverse ? ", last folder first" : ""));
            FolderTable table;
            table.pathBudget = budget;
            buildTree(table);
            CapturedWriter out;
            std::string expected;
            for (uint32_t k = 0; k < 5; ++k) {
                uint32_t folder = reverse ? 4 - k : k;
                writeFolderRow(out.writer, table, folder);
                expected += folderRows[folder];
            }
            writeFileRow(out.writer, table, 4, "f");
            writeFileRow(out.writer, table, noFolder, "g");
            writeFileRow(out.writer, table, 2, "h");
            EXPECT_EQ(out.text(), expected + fileRows);
            EXPECT_LE(table.pathBytes, budget);
        }
    }
}

TEST(FolderPaths, PathOfNoFolderIsEmptyAndOfARootItsNameAndOneBackslash) {
    FolderTable table;
    buildTree(table);
    CapturedWriter out;
    writeFolderPath(out.writer, table, noFolder);
    EXPECT_EQ(out.text(), "");
    writeFolderPath(out.writer, table, 0);
    writeFolderPath(out.writer, table, 2);
    EXPECT_EQ(out.text(), "top\\top\\a\\mid\\x\\");
}

// The readers stop at a parent loop before writing any row; should a looped table reach the path writer
// all the same, it ends after at most one name per folder and one more.
TEST(FolderPaths, LoopedChainStillEnds) {
    FolderTable table;
    buildChain(table, 3);
    table.entries[0].parent = 2;
    for (uint32_t folder = 0; folder < 3; ++folder) {
        CapturedWriter out;
        writeFolderPath(out.writer, table, folder);
        EXPECT_LE(out.text().size(), 4 * (chainName(0).size() + 1)) << folder;
    }
}

// A chain of 3,000 folders through the readers: every folder row carries the whole path above it.
TEST(QrtbDeepChain, ThreeThousandNestedFoldersConvertInFull) {
    constexpr uint32_t depth = 3000;
    for (Version v : {Version::v1_7_8, Version::v1_7_20}) {
        SCOPED_TRACE(versionName(v));
        Tree tree;
        for (uint32_t i = 0; i < depth; ++i) {
            tree.folders.push_back(
                {.parent = i == 0 ? depth : i - 1, .name = std::string(1, static_cast<char>('a' + i % 26))});
        }
        tree.files = {{.parent = depth - 1, .name = "bottom.txt"}, {.parent = 0, .name = "top.txt"}};

        std::string expected = headerLineOf(v), path;
        for (uint32_t i = 0; i < depth; ++i) {
            path += (i == 0 ? "" : "\\") + tree.folders[i].name;
            expected += "\"" + path + closing(v, true, {0, 0, 0, 0, 16});
        }
        expected +=
            "\"" + path + "\\bottom.txt" + closing(v, false, {}) + "\"a\\top.txt" + closing(v, false, {});

        InMemoryConversion result = convertInMemory(database(tree, v));
        ASSERT_GE(result.csv.size(), 300u);
        EXPECT_EQ(result.csv.substr(result.csv.size() - 300), expected.substr(expected.size() - 300));
        EXPECT_TRUE(result.csv == expected);
        EXPECT_EQ(consoleFrom(result.console, "Loading"), recordLines(v));
        EXPECT_FALSE(result.flags.readError || result.flags.corrupt);
    }
}

}  // namespace
}  // namespace catadump::test
