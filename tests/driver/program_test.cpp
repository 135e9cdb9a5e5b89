// The built program end to end: files, console lines and exit codes.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "readers/dispatch.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

using namespace std::string_literals;

const std::string unknownVersion = DbBuilder().header("QRTb", versionWord(1, 7, 6)).bytes();

std::string fileLines(const FileConversion& run) {
    return run.databasePath + " opened for reading...\n" + run.outputPath + " created for writing...\n";
}

class EndToEnd : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(EndToEnd, MissingDatabaseIsReportedAndNoOutputIsCreated) {
    std::string database = dir.pathOf("absent.db");
    std::string output = dir.pathOf("out.qlx");
    ProgramRun run = runProgram({database, output});
    EXPECT_EQ(run.console, "Error: Could not open " + database + " for reading.\n");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(EndToEnd, OutputThatCannotBeCreatedIsReported) {
    std::string database = dir.write("Quillseek.db", unknownVersion);
    for (const std::string& output : {dir.pathOf("no-such-folder/out.qlx"), dir.path()}) {
        ProgramRun run = runProgram({database, output});
        EXPECT_EQ(run.console,
                  database + " opened for reading...\nError: Could not open " + output + " for writing.\n");
        EXPECT_EQ(run.exitCode, 2);
    }
}

// The database named again as the output, directly or through a link, must not be emptied before it is
// read: the output cannot be created then.
TEST_F(EndToEnd, OutputThatIsTheDatabaseIsRefused) {
    std::string database = dir.write("Quillseek.db", unknownVersion);
    std::filesystem::create_hard_link(database, dir.pathOf("hard.qlx"));
    std::filesystem::create_symlink(database, dir.pathOf("soft.qlx"));
    for (const std::string& output : {database, dir.pathOf("hard.qlx"), dir.pathOf("soft.qlx")}) {
        ProgramRun run = runProgram({database, output});
        EXPECT_EQ(run.console,
                  database + " opened for reading...\nError: Could not open " + output + " for writing.\n");
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(readWholeFile(database), unknownVersion);
    }
}

// Databases the program does not convert: their dispatch lines (and report) after the two file lines.
struct NotConverted {
    std::string name;
    std::string stored;
    std::string lines;
};
void PrintTo(const NotConverted& test, std::ostream* out) { *out << test.name; }

class UnconvertedDatabase : public EndToEnd, public ::testing::WithParamInterface<NotConverted> {};

TEST_P(UnconvertedDatabase, LeavesAnEmptyOutputAndFails) {
    FileConversion run = convertFile(dir, GetParam().stored);
    EXPECT_EQ(run.console, fileLines(run) + GetParam().lines);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.csv, "");
}

INSTANTIATE_TEST_SUITE_P(
    , UnconvertedDatabase,
    ::testing::Values(
        NotConverted{"ForeignSignature", DbBuilder().header("ZZZZ", 0).bytes(),
                     "Magic ZZZZ\nUnknown DB type 5a5a5a5a ZZZZ\n"},
        NotConverted{"OneLetterInTheWrongCase", DbBuilder().header("qRTb", versionWord(1, 7, 20)).bytes(),
                     "Magic qRTb\nUnknown DB type 62545271 qRTb\n"},
        NotConverted{"UnknownVersion", unknownVersion,
                     "Magic QRTb\nVersion 1.7.6\nUnknown DB version 01070006\n"},
        NotConverted{"SignatureOfNeitherFamily",
                     DbBuilder().header("QRTB", versionWord(1, 7, 20)).raw("body").bytes(),
                     "Magic QRTB\nUnknown DB type 42545251 QRTB\n"},
        NotConverted{"VersionOfTheOtherFamily",
                     DbBuilder().header("QWTB", versionWord(1, 7, 20)).raw("body").bytes(),
                     "Magic QWTB\nVersion 1.7.20\nUnknown DB version 01070014\n"},
        NotConverted{
            "EmptyFile", "",
            "Magic \0\0\0\0\nUnknown DB type 00000000 \0\0\0\0\nError: Encounted atleast one read error\n"s},
        NotConverted{"Bzip2BlockSize1", bzip2(unknownVersion, 1),
                     "Magic BZh1\nUnknown DB type 31685a42 BZh1\n"},
        NotConverted{"Bzip2InsideBzip2", bzip2(bzip2(unknownVersion)),
                     "Magic BZh9\nDatabase is compressed, decompressing with bz2...\n"
                     "Magic BZh9\nUnknown DB type 39685a42 BZh9\n"}),
    [](const auto& test) { return test.param.name; });

TEST_F(EndToEnd, CompressedAndRawDatabasesPrintTheSameBesidesTheBzip2Lines) {
    for (const std::string& plain : {unknownVersion, DbBuilder().header("QWTB", versionWord(9, 9, 9)).bytes(),
                                     DbBuilder().header("QRTB", versionWord(1, 7, 20)).raw("body").bytes()}) {
        FileConversion raw = convertFile(dir, plain);
        FileConversion packed = convertFile(dir, bzip2(plain));
        std::string expected = raw.console;
        expected.insert(fileLines(raw).size(),
                        "Magic BZh9\nDatabase is compressed, decompressing with bz2...\n");
        EXPECT_EQ(packed.console, expected);
        EXPECT_EQ(packed.exitCode, raw.exitCode);
        EXPECT_EQ(packed.csv, raw.csv);
    }
}

TEST_F(EndToEnd, ExistingOutputIsTruncatedWithoutAsking) {
    dir.write("out.qlx", "rows from an earlier run\r\n");
    FileConversion run = convertFile(dir, unknownVersion);
    EXPECT_EQ(run.csv, "");
}

TEST_F(EndToEnd, OtherArgumentCountsPrintUsageAndCancelWithoutTerminal) {
    std::vector<std::vector<std::string>> argumentLists = {
        {}, {dir.pathOf("a.db")}, {dir.pathOf("a.db"), dir.pathOf("b.qlx"), dir.pathOf("c.qlx")}};
    for (const auto& arguments : argumentLists) {
        ProgramRun run = runProgram(arguments);
        EXPECT_EQ(run.console, "catadump <quillseek.db> <out.qlx>\n") << arguments.size() << " arguments";
        EXPECT_EQ(run.exitCode, 1);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(EndToEnd, PathsLongerThanTheOldLimitWork) {
    std::string folder = dir.path();
    for (int level = 0; level < 3; ++level) folder += "/" + std::string(120, 'd');
    std::filesystem::create_directories(folder);
    std::string database = folder + "/Quillseek.db";
    std::string output = folder + "/" + std::string(100, 'o') + ".qlx";
    ASSERT_GT(database.size(), 259u);

    ProgramRun missing = runProgram({database, output});
    EXPECT_EQ(missing.console, "Error: Could not open " + database + " for reading.\n");

    TempDir unused;
    std::filesystem::copy_file(unused.write("db", unknownVersion), database);
    ProgramRun run = runProgram({database, output});
    EXPECT_EQ(run.console,
              database + " opened for reading...\n" + output +
                  " created for writing...\nMagic QRTb\nVersion 1.7.6\nUnknown DB version 01070006\n");
    EXPECT_EQ(readWholeFile(output), "");
}

// Needs a version in the formats table, since only a recognised database writes anything; any will do.
TEST_F(EndToEnd, FullOutputDeviceIsAWriteErrorEvenForTheFinalFlushAlone) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    std::string database;
    for (uint32_t signature : {signature16, signature17}) {
        for (uint32_t version :
             {0x01060006u, 0x01060007u, 0x01070005u, 0x01070008u, 0x01070011u, 0x01070014u}) {
            if (database.empty() && findDatabaseFormat(signature, version) != nullptr) {
                database = DbBuilder().u32(signature).u32(version).bytes();
            }
        }
    }
    if (database.empty()) GTEST_SKIP() << "no reader in this build yet";

    ProgramRun run = runProgram({dir.write("Quillseek.db", database), "/dev/full"});
    std::vector<std::string> printed = lines(run.console);
    auto writeLine = std::find(printed.begin(), printed.end(), "Error: Encounted atleast one write error");
    ASSERT_NE(writeLine, printed.end()) << run.console;
    // Only the report may follow it, in its fixed order.
    for (auto line = writeLine + 1; line != printed.end(); ++line) {
        EXPECT_TRUE(*line == "Error: Encounted atleast one read error" || *line == "Error: database corrupt")
            << *line;
    }
    EXPECT_EQ(run.exitCode, 2);
}

}  // namespace
}  // namespace catadump::test
