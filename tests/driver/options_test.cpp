// The command line: the options form when the first argument begins with "--" (or is "-h"), the form of
// two paths otherwise; and the program's standard streams, fed and read by a real shell.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "driver/options.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

using Action = CommandLine::Action;

struct Parsed {
    std::vector<const char*> arguments;  // after the program's name
    Action action;
    std::string database;
    std::string output;
    unsigned threads = 0;
    std::string error = {};
};

TEST(CommandLineParsing, EveryFormAndEveryMistake) {
    const bool sqliteBuilt = findOutputFormat("sqlite") != nullptr;
    const std::string sqliteRefusal = sqliteBuilt
                                          ? "catadump: --format=sqlite writes a file, not standard output"
                                          : "catadump: this build has no sqlite format";
    const Parsed cases[] = {
        {{"db", "out"}, Action::convert, "db", "out"},
        {{"-", "-"}, Action::convert, "-", "-"},
        {{}, Action::choosePaths, "", ""},
        {{"db"}, Action::choosePaths, "", ""},
        {{"db", "out", "more"}, Action::choosePaths, "", ""},
        {{"-x", "db"}, Action::convert, "-x", "db"},  // only "--" and "-h" open the options form
        {{"--threads=3", "db"}, Action::convert, "db", "-", 3},
        {{"--threads=0", "db", "out"}, Action::convert, "db", "out", 0},
        {{"--", "--threads=2", "out"}, Action::convert, "--threads=2", "out"},
        {{"--threads=1", "-", "-"}, Action::convert, "-", "-", 1},
        {{"--help", "--bogus"}, Action::usageError, "", "", 0, "catadump: unknown option '--bogus'"},
        {{"-h"}, Action::help, "", ""},
        {{"--version", "db", "out", "extra"}, Action::version, "", ""},
        {{"--threads=", "db"}, Action::usageError, "", "", 0, "catadump: --threads takes a number"},
        {{"--threads=-1", "db"}, Action::usageError, "", "", 0, "catadump: --threads takes a number"},
        {{"--threads=99999", "db"}, Action::usageError, "", "", 0, "catadump: --threads takes a number"},
        {{"--threads=2"}, Action::usageError, "", "", 0, "catadump: the database is missing"},
        {{"--threads=2", "a", "b", "c"},
         Action::usageError,
         "",
         "",
         0,
         "catadump: one operand too many: 'c'"},
        {{"--threads=2", "-q", "db"}, Action::usageError, "", "", 0, "catadump: unknown option '-q'"},
        {{"--format=xml", "db"}, Action::usageError, "", "", 0, "catadump: --format takes qlx, csv, jsonl"},
        // The sqlite format makes a file, so it takes no standard output (and a build without SQLite
        // has no such format at all).
        {{"--format=sqlite", "db"}, Action::usageError, "", "", 0, sqliteRefusal},
        {{"--format=sqlite", "db", "-"}, Action::usageError, "", "", 0, sqliteRefusal},
        {{"--format=sqlite", "-", "out"},
         sqliteBuilt ? Action::convert : Action::usageError,
         sqliteBuilt ? "-" : "",
         sqliteBuilt ? "out" : "",
         0,
         sqliteBuilt ? "" : sqliteRefusal},
    };
    for (const Parsed& expected : cases) {
        std::vector<const char*> argv = {"catadump"};
        argv.insert(argv.end(), expected.arguments.begin(), expected.arguments.end());
        CommandLine command = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        std::string shown;
        for (const char* argument : expected.arguments) shown += std::string(" ") + argument;
        SCOPED_TRACE("catadump" + shown);
        EXPECT_EQ(command.action, expected.action);
        EXPECT_EQ(command.database, expected.database);
        EXPECT_EQ(command.output, expected.output);
        EXPECT_EQ(command.threads, expected.threads);
        EXPECT_TRUE(command.error.starts_with(expected.error)) << command.error;
        EXPECT_EQ(command.error.empty(), expected.error.empty());
    }
}

// The collection forms and the filters: what each takes, and each mistake named before anything is opened.
TEST(CommandLineParsing, CollectionFormsAndFilters) {
    using Form = CommandLine::Form;
    struct Case {
        std::vector<const char*> arguments;
        Form form;
        std::vector<std::string> inputs;
        std::string error = {};
    };
    const Case cases[] = {
        {{"-o", "all.csv", "--format=csv", "a", "-"}, Form::combined, {"a", "-"}},
        {{"--format=jsonl", "--output=-", "--jobs=3", "-v", "dir"}, Form::combined, {"dir"}},
        {{"--output-dir=lists", "a", "b"}, Form::perInput, {"a", "b"}},
        {{"-o", "all.qlx", "a"}, Form::combined, {}, "catadump: a qlx list has no place for the source"},
        {{"--output=x", "--output-dir=d", "a"}, Form::combined, {}, "catadump: give one of -o"},
        {{"--format=csv", "-o"}, Form::combined, {}, "catadump: -o takes the list's path"},
        {{"--format=csv", "-o", "x"}, Form::combined, {}, "catadump: no input"},
        {{"--format=csv", "-o", "x", "-", "-"},
         Form::combined,
         {},
         "catadump: standard input can be an input"},
        {{"--output-dir=-", "a"}, Form::perInput, {}, "catadump: --output-dir takes a folder"},
        {{"--format=csv", "--summary=-", "-o", "-", "a"},
         Form::combined,
         {},
         "catadump: the list and the summary"},
        {{"--summary=-", "db"}, Form::single, {}, "catadump: the list and the summary"},
        {{"--jobs=many", "db"}, Form::single, {}, "catadump: --jobs takes a number"},
        {{"--since=2021-02-30", "db"}, Form::single, {}, "catadump: --since takes an ISO 8601 date"},
        {{"--type=dir", "db"}, Form::single, {}, "catadump: --type takes file or folder"},
        // --recover in every form, but the qlx list has no place for a row's status.
        {{"--recover", "--format=jsonl", "-o", "all", "a"}, Form::combined, {"a"}},
        {{"--recover", "--output-dir=lists", "a"},
         Form::perInput,
         {},
         "catadump: a qlx list has no place for the status"},
        {{"--recover", "db", "out"}, Form::single, {}, "catadump: a qlx list has no place for the status"},
    };
    for (const Case& expected : cases) {
        std::vector<const char*> argv = {"catadump"};
        argv.insert(argv.end(), expected.arguments.begin(), expected.arguments.end());
        CommandLine command = parseCommandLine(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(expected.arguments.front() + std::string(" ..."));
        EXPECT_EQ(command.action, expected.error.empty() ? Action::convert : Action::usageError);
        EXPECT_TRUE(command.error.starts_with(expected.error)) << command.error;
        if (!expected.error.empty()) continue;
        EXPECT_EQ(command.form, expected.form);
        EXPECT_EQ(command.inputs, expected.inputs);
    }
    const char* filtered[] = {"catadump", "--since=2021-03-04", "--until=2021-03-05T00:00+01:00",
                              "--type=file", "db"};
    CommandLine command = parseCommandLine(5, filtered);
    EXPECT_TRUE(command.filter.dated);
    EXPECT_EQ(command.filter.until - command.filter.since, 23ull * 3600 * 10000000);
    EXPECT_EQ(command.filter.type, TypeFilter::files);
}

// Runs a bash command line in the directory; its exit status.
int shell(const TempDir& dir, const std::string& command) {
    std::string line = "cd '" + dir.path() + "' && timeout 60 bash -c '" + command + "'";
    int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The same list, and the console with "-" in its first two lines, whichever way the database comes in and
// the list goes out, raw and bzip2-wrapped; a reader that stops early ends the run at once.
TEST(StandardStreams, PipesFifosAndProcessSubstitutionGiveTheFilesList) {
    std::string raw = syntheticDatabase(2000, 40000);
    const std::string program = CATADUMP_BINARY;
    for (const std::string& database : {raw, bzip2(raw)}) {
        TempDir dir;
        FileConversion file = convertFile(dir, database);
        ASSERT_EQ(file.exitCode, 0);
        std::string console = file.console.substr(file.console.find("Magic"));
        const std::string ways[] = {
            "cat Quillseek.db | " + program + " - - > list 2> console",
            program + " --threads=1 - < Quillseek.db > list 2> console",
            "mkfifo fifo && (cat Quillseek.db > fifo &) && " + program +
                " --threads=4 fifo - > list 2> console",
            program + " -- <(cat Quillseek.db) > list 2> console",
        };
        for (const std::string& way : ways) {
            SCOPED_TRACE(way);
            std::filesystem::remove(dir.pathOf("fifo"));
            EXPECT_EQ(shell(dir, way), 0);
            EXPECT_TRUE(readWholeFile(dir.pathOf("list")) == file.csv);
            std::optional<std::string> errors = readWholeFile(dir.pathOf("console"));
            ASSERT_TRUE(errors.has_value());
            EXPECT_TRUE(errors->ends_with(" created for writing...\n" + console)) << *errors;
        }
        // The list is megabytes long; the reader takes a few bytes and goes.
        EXPECT_EQ(
            shell(dir,
                  program + " Quillseek.db - 2> console | head -c 100 > /dev/null; exit ${PIPESTATUS[0]}"),
            141);
        EXPECT_EQ(readWholeFile(dir.pathOf("console"))->find("Error:"), std::string::npos);
    }
}

}  // namespace
}  // namespace catadump::test
