// Each format read back by the program that consumes it: Python's csv module, Python's json and jq, and
// The Sleuth Kit's mactime; the timeline as a timeline tool imports it (Python's json and datetime). One
// test over databases of every version, raw and bzip2-wrapped, whose names hold quotes, '|', '%', line
// ends, valid UTF-8 and bytes that are not; and their rows led by sources of such bytes, as in a list of
// many databases.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "driver/collection.h"
#include "driver/convert.h"
#include "formats/output_format.h"
#include "model/paths.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

// A format of the test's own through the same record interface: each entry as the checker expects it,
// "kind hex-of-path values".
void writeNothing(RowOutput&, ColumnSet) {}
void writeExpected(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    static const char hex[] = "0123456789abcdef";
    entryPath(table, entry, output.path);
    std::string line = entry.kind == EntryKind::folder ? "folder " : "file ";
    for (char c : output.path) {
        line += hex[static_cast<unsigned char>(c) >> 4];
        line += hex[static_cast<unsigned char>(c) & 15];
    }
    if (const RowValues* v = entry.values) {
        for (uint64_t value : {v->size, v->dateCreated, v->dateModified, v->dateAccessed}) {
            line += ' ' + std::to_string(value);
        }
    }
    line += ' ' + std::to_string(entryAttributes(entry)) + '\n';
    writeString(*output.writer, line);
}
const OutputFormat expectedEntries = {"expected", writeNothing, writeExpected};

catagen::Tree trickyTree() {
    catagen::SyntheticParams params;
    params.seed = 5;
    params.folders = 40;
    params.files = 400;
    catagen::Tree tree = catagen::makeSyntheticTree(params);
    catagen::materializeFiles(tree);
    const char* names[] = {
        "quo\"te\"",   "pi|pe",       "per%25cent%",           "new\nline",       "car\rriage", "bad\xff\xfe",
        "caf\xc3\xa9", "cut\xe2\x82", "\xed\xa0\x80surrogate", "comma, and space"};
    uint32_t folder = static_cast<uint32_t>(tree.folders.size());
    tree.folders.push_back(
        {"odd|%\"folder", 0, 0, {.size = 1, .created = 132000000000000000, .attributes = 16}});
    for (const char* name : names) {
        tree.files.push_back({name,
                              folder,
                              0,
                              {.size = 7,
                               .created = 131000000000000000,
                               .modified = 132500000000000001,
                               .accessed = 0,
                               .attributes = 32}});
    }
    return tree;
}

// With `withStatus`, the list is one of a run that recovers, each row saying intact.
bool readsBack(const TempDir& dir, const char* format, const std::string& list,
               const std::string& source = {}, bool withStatus = false) {
    static const std::string checker = std::string(CATADUMP_SOURCE_DIR) + "/tests/formats/read_back.py";
    std::string command = "/usr/bin/python3 " + checker + (withStatus ? " --status " : " ") + format + " " +
                          list + " " + dir.pathOf("expected");
    if (!source.empty()) {
        command += ' ';
        for (char c : source) command += printed("%02x", static_cast<unsigned char>(c));
    }
    int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(FormatClients, EveryFormatReadsBackThroughItsRealClient) {
    catagen::Tree tree = trickyTree();
    TempDir dir;
    const std::string sources[] = {"D:\\lists\\q\"uo|te%25:\xff, x.db", "E:\\caf\xc3\xa9.db"};
    for (Version version : allVersions) {
        std::string raw = catagen::encodeDatabase(tree, version);
        for (const std::string& database : {raw, bzip2(raw)}) {
            SCOPED_TRACE(versionName(version) + (database == raw ? ", raw" : ", bzip2"));
            InMemoryConversion expected = convertInMemory(database, defaultReadAhead, expectedEntries);
            ASSERT_FALSE(expected.flags.readError || expected.flags.corrupt) << expected.console;
            ASSERT_GT(expected.csv.size(), 400u);
            dir.write("expected", expected.csv);
            std::string db = dir.write("Quillseek.db", database);
            for (const char* format : {"csv", "jsonl", "bodyfile", "timeline"}) {
                SCOPED_TRACE(format);
                std::string list = dir.pathOf(std::string("list.") + format);
                ProgramRun run = runProgram({std::string("--format=") + format, db, list});
                ASSERT_EQ(run.exitCode, 0) << run.console;
                EXPECT_TRUE(readsBack(dir, format, list));
                if (database != raw) continue;
                // The list of many databases begins with its one header, if the format has one.
                ConversionOptions options;
                options.format = findOutputFormat(format);
                options.withSource = true;
                for (const std::string& source : sources) {
                    options.source = source;
                    const char* header = options.format->sourceHeader;
                    dir.write("sourced",
                              (header != nullptr ? header : "") + convertInMemory(raw, options).csv);
                    EXPECT_TRUE(readsBack(dir, format, dir.pathOf("sourced"), source)) << source;
                }
            }
        }
    }
}

// --recover over an intact database, in every form: each row says intact and is otherwise the entry a strict
// run lists, read back by the same clients; --output-dir's list is the single run's. Not into qlx.
TEST(FormatClients, RecoverGivesEveryRowItsStatus) {
    TempDir dir;
    std::string raw = catagen::encodeDatabase(trickyTree(), Version::v1_7_20);
    dir.write("expected", convertInMemory(raw, defaultReadAhead, expectedEntries).csv);
    std::string db = dir.write("Quillseek.db", raw);
    for (const char* format : {"csv", "jsonl", "bodyfile", "timeline"}) {
        SCOPED_TRACE(format);
        std::string chosen = std::string("--format=") + format;
        EXPECT_EQ(runProgram({"--recover", chosen, db, dir.pathOf("one")}).exitCode, 0);
        EXPECT_TRUE(readsBack(dir, format, dir.pathOf("one"), {}, true));
        EXPECT_EQ(runProgram({"--recover", chosen, "-o", dir.pathOf("many"), db}).exitCode, 0);
        EXPECT_TRUE(readsBack(dir, format, dir.pathOf("many"), db, true));
        EXPECT_EQ(runProgram({"--recover", chosen, "--output-dir=" + dir.pathOf("lists"), db}).exitCode, 0);
        EXPECT_EQ(
            readWholeFile(dir.pathOf("lists/" + listNameFor("Quillseek.db", *findOutputFormat(format)))),
            readWholeFile(dir.pathOf("one")));
    }
    EXPECT_EQ(runProgram({"--recover", db, dir.pathOf("list.qlx")}).exitCode, 1);
}

}  // namespace
}  // namespace catadump::test
