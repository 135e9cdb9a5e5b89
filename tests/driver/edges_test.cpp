// The built program at its edges, through a real shell: standard descriptors that are closed, an option put
// after the database, the files at and beside an sqlite output, standard input in non-blocking mode, and a
// bzip2 file of several streams.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

using namespace std::string_literals;

struct Edge {
    const char* name;
    std::string before;  // bash, in a directory of its own that holds the databases and the reference runs
    std::string run;     // the program's run (as $C), whose exit code is checked
    int exitCode;
    // What the files hold afterwards: "@name" the bytes of that file, otherwise the text itself.
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> absent;
    std::string after = {};  // bash after the run, which may write files for the checks
};

// The shell's exit code for the script run in the directory.
int runScript(const TempDir& dir, const std::string& script) {
    std::string path = dir.write("edge.sh", script);
    std::string line = "cd '" + dir.path() + "' && C='" CATADUMP_BINARY "' timeout 60 bash '" + path + "'";
    int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProgramEdges, DescriptorsOperandsSqliteFilesAndInputs) {
    TempDir shared;
    catagen::SyntheticParams params;
    params.folders = 300;
    params.files = 6000;
    params.filesystems = 60;  // console lines beyond the standard output's buffer, which is written mid-run
    std::string small =
        catagen::encodeDatabase(catagen::makeSyntheticTree(params), catagen::Version::v1_7_20);
    params.folders = 3000;
    params.files = 200000;
    params.filesystems = 2;
    std::string big = catagen::encodeDatabase(catagen::makeSyntheticTree(params), catagen::Version::v1_7_20);
    shared.write("a.db", small);
    shared.write("a.bz2", bzip2(small));
    shared.write("m.bz2", bzip2(small.substr(0, small.size() / 2)) + bzip2(small.substr(small.size() / 2)));
    shared.write("big.db", big);
    // The list to compare with, and the console of the bzip2-wrapped database without its two file lines.
    ASSERT_EQ(runScript(shared, "$C a.db a.qlx > /dev/null && $C a.bz2 b.qlx | tail -n +3 > b.console &&"
                                "tail -n +2 a.qlx | wc -l | tr -d ' ' > a.rows"),
              0);
    ASSERT_GT(readWholeFile(shared.pathOf("a.qlx"))->size(), 100000u);

    // (sqlite3 reads a copy: it would take the files beside the output as the output's own.)
    const std::string sqliteOf = "cp out.sqlite copy.sqlite; stat -L -c %a out.sqlite > mode;"
                                 "sqlite3 copy.sqlite \"SELECT value FROM facts WHERE name = 'rows'\" > rows";
    const std::string noPartial = "ls -a | grep -c '\\.partial$' > partials";
    const Edge edges[] = {
        // Console lines printed to a closed standard output must not land in the list opened after it.
        {"StandardOutputClosed", "", "$C - out.qlx < a.db >&-", 0, {{"out.qlx", "@a.qlx"}}, {}},
        {"StandardInputClosed",
         "",
         "$C - out.qlx <&- > console",
         2,
         {{"console", "- opened for reading...\nout.qlx created for writing...\nMagic \0\0\0\0\n"
                      "Unknown DB type 00000000 \0\0\0\0\nError: Encounted atleast one read error\n"s},
          {"out.qlx", ""}},
         {}},
        {"StandardErrorClosed", "", "$C a.db - > out.qlx 2>&-", 0, {{"out.qlx", "@a.qlx"}}, {}},
        // An option after the database names no file; ./ does.
        {"OptionAfterTheDatabase",
         "",
         "$C a.db --format=csv 2> console",
         1,
         {{"console",
           "catadump: options come before the database, as in catadump --format=csv a.db <out>; an "
           "output named --format=csv is given as ./--format=csv\n"
           "usage: catadump [OPTIONS] <quillseek.db> [<out>]\n"
           "       catadump [OPTIONS] -o <out> <input>...\n"
           "       catadump [OPTIONS] --output-dir=<dir> <input>...\n"}},
         {"--format=csv"}},
        {"UnknownOptionAfterTheDatabase", "", "$C a.db --x > console 2>&1", 1, {}, {"--x"}},
        {"DotSlashNamesSuchAFile", "", "$C a.db ./--x > console", 0, {{"--x", "@a.qlx"}}, {}},
        // An sqlite output is made beside its path and renamed over it: nothing else there is touched, the
        // file gets a new output's permissions, and a run that fails or is killed leaves the path as it was.
        {"SqliteLeavesTheFilesBesideIt",
         "umask 022; printf wal > out.sqlite-wal; printf journal > out.sqlite-journal; printf old > "
         "out.sqlite",
         "$C --format=sqlite a.db out.sqlite > console",
         0,
         {{"out.sqlite-wal", "wal"},
          {"out.sqlite-journal", "journal"},
          {"rows", "@a.rows"},
          {"mode", "644\n"},
          {"partials", "0\n"}},
         {},
         sqliteOf + ";" + noPartial},
        {"SqliteInputNamedAsTheOutputsWal",
         "cp a.db out.sqlite-wal",
         "$C --format=sqlite out.sqlite-wal out.sqlite",
         0,
         {{"out.sqlite-wal", "@a.db"}, {"rows", "@a.rows"}},
         {},
         sqliteOf},
        {"SqliteRunThatFailsLeavesTheOutput",
         "printf earlier > out.sqlite",
         "(trap '' XFSZ; ulimit -f 512; exec $C --format=sqlite big.db out.sqlite > console)",
         2,
         {{"out.sqlite", "earlier"},
          {"partials", "0\n"},
          {"report", "Error: Encounted atleast one write error\n"}},
         {},
         noPartial + "; tail -n 1 console > report"},
        {"SqliteRunKilledLeavesTheOutput",
         "printf earlier > out.sqlite",
         "(exec $C --format=sqlite big.db out.sqlite > console) & for i in $(seq 1000); do ls | grep -q "
         "partial && "
         "break; sleep 0.002; done; kill -9 $!; wait $!",
         128 + 9,
         {{"out.sqlite", "earlier"}},
         {}},
        {"SqliteThroughALink",
         "umask 002; printf old > target.sqlite; ln -s target.sqlite out.sqlite",
         "$C --format=sqlite a.db out.sqlite > console",
         0,
         {{"rows", "@a.rows"}, {"mode", "664\n"}, {"kind", "link\n"}},
         {},
         sqliteOf + "; test -L out.sqlite && echo link > kind"},
        {"SqliteOutputThatIsTheDatabase",
         "cp a.db copy.db; ln -s a.db out.sqlite",
         "$C --format=sqlite a.db out.sqlite > console",
         2,
         {{"a.db", "@copy.db"},
          {"console", "a.db opened for reading...\nError: Could not open out.sqlite for writing.\n"}},
         {}},
        // A device or a pipe is written into, never replaced.
        {"SqliteIntoANamedPipe",
         "mkfifo out.sqlite; cat out.sqlite > copied &",
         "$C --format=sqlite a.db out.sqlite > console",
         0,
         {{"magic", "SQLite format 3"s + '\0'}, {"kind", "fifo\n"}, {"partials", "0\n"}},
         {},
         "wait; head -c 16 copied > magic; test -p out.sqlite && echo fifo > kind; " + noPartial},
        {"SqliteOutputThatCannotBeMade",
         "",
         "$C --format=sqlite a.db no-folder/out.sqlite > console",
         2,
         {{"console",
           "a.db opened for reading...\nError: Could not open no-folder/out.sqlite for writing.\n"}},
         {"no-folder"}},
        // A bzip2 file of two streams is one database, as bzip2 itself decompresses it.
        {"MultiStreamBzip2",
         "",
         "$C m.bz2 out.qlx > console",
         0,
         {{"out.qlx", "@a.qlx"}, {"tail", "@b.console"}},
         {},
         "tail -n +3 console > tail"},
        {"MultiStreamBzip2OneThread",
         "",
         "$C --threads=1 m.bz2 out.qlx > console",
         0,
         {{"out.qlx", "@a.qlx"}, {"tail", "@b.console"}},
         {},
         "tail -n +3 console > tail"},
    };
    for (const Edge& edge : edges) {
        SCOPED_TRACE(edge.name);
        TempDir dir;
        for (const auto& entry : std::filesystem::directory_iterator(shared.path())) {
            if (entry.path().filename() == "edge.sh") continue;
            std::filesystem::create_hard_link(entry.path(),
                                              dir.path() + "/" + entry.path().filename().string());
        }
        std::string script =
            edge.before + "\n" + edge.run + "\nstatus=$?\n" + edge.after + "\nexit $status\n";
        EXPECT_EQ(runScript(dir, script), edge.exitCode) << readWholeFile(dir.pathOf("console")).value_or("");
        for (const auto& [name, expected] : edge.files) {
            std::optional<std::string> held = readWholeFile(dir.pathOf(name));
            std::string wanted =
                expected.starts_with('@') ? *readWholeFile(dir.pathOf(expected.substr(1))) : expected;
            EXPECT_TRUE(held == wanted) << name << " holds " << held.value_or("nothing").substr(0, 200);
        }
        for (const std::string& name : edge.absent)
            EXPECT_FALSE(std::filesystem::exists(dir.pathOf(name))) << name;
    }
    // Standard input in non-blocking mode, fed a piece at a time, is waited for: raw and bzip2-wrapped.
    for (const auto& [input, threads] :
         {std::pair{"a.db", "--threads=0"}, {"a.bz2", "--threads=1"}, {"a.bz2", "--threads=0"}}) {
        SCOPED_TRACE(std::string("non-blocking ") + input + " " + threads);
        TempDir dir;
        std::string bytes = *readWholeFile(shared.pathOf(input));
        ProgramRun run = runProgram({threads, "-", dir.pathOf("out.qlx")}, 0, &bytes, true);
        EXPECT_EQ(run.exitCode, 0) << run.console;
        EXPECT_TRUE(readWholeFile(dir.pathOf("out.qlx")) == readWholeFile(shared.pathOf("a.qlx")));
    }
}

}  // namespace
}  // namespace catadump::test
