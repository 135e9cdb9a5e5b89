// The collection forms through the program: a folder tree of databases of every version, raw and
// bzip2-wrapped, a damaged one, a file that is no database and a link back to the top. Every source's rows
// in the one list equal that database's own conversion, for any number of inputs at once; the lists of
// --output-dir equal the single runs byte for byte; the summary's hashes are those sha256sum computes.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <pty.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "driver/inputs.h"
#include "driver/ordered_output.h"
#include "formats/output_format.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/db_builder.h"
#include "support/terminal.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

namespace fs = std::filesystem;

std::string databaseOf(Version version, uint32_t seed) {
    catagen::SyntheticParams params;
    params.seed = seed;
    params.folders = 20;
    params.files = 150;
    catagen::Tree tree = catagen::makeSyntheticTree(params);
    catagen::materializeFiles(tree);
    return catagen::encodeDatabase(tree, version);
}

// The tree: hosts/<n>/... with each version raw and wrapped, a cut database, one whose conversion is fatal,
// a text file, a pipe and a link back up.
struct Collected {
    TempDir dir;
    std::vector<std::string> databases;  // in the order the program takes them
};

void makeTree(Collected& tree) {
    const TempDir& dir = tree.dir;
    fs::create_directories(dir.pathOf("hosts/b/deeper"));
    fs::create_directories(dir.pathOf("hosts/a"));
    uint32_t seed = 1;
    std::map<std::string, std::string> files;
    for (Version version : allVersions) {
        std::string raw = databaseOf(version, seed++);
        std::string host = seed % 2 == 0 ? "hosts/a/" : "hosts/b/deeper/";
        files[host + versionName(version) + ".db"] = raw;
        files[host + versionName(version) + ".packed"] = bzip2(raw);
    }
    std::string whole = databaseOf(Version::v1_7_20, 99);
    files["hosts/b/cut.db"] = cut(whole, whole.size() / 2);
    // A string length that no string can have: the run of this database ends at once, and alone.
    MarkedDatabase fatal = encodeMarked(catagen::makeSyntheticTree({}), Version::v1_7_8);
    files["hosts/b/fatal.db"] =
        fatal.bytes.replace(fatal.marks.filesystems[0] + 1, 1, "\xff\xff\xff\xff\xff");
    files["hosts/b/notes.txt"] = "not a database\n";
    for (const auto& [name, bytes] : files) {
        dir.write(name, bytes);
        if (name != "hosts/b/notes.txt") tree.databases.push_back(dir.pathOf(name));
    }
    fs::create_directory_symlink("..", dir.pathOf("hosts/b/up"));
    ::mkfifo(dir.pathOf("hosts/a/pipe").c_str(), 0600);
}

// The rows of a jsonl list by source, each without its "source" key.
std::map<std::string, std::string> rowsBySource(const std::string& list) {
    std::map<std::string, std::string> rows;
    for (const std::string& line : lines(list)) {
        const std::string key = "{\"source\":\"";
        size_t end = line.find("\",", key.size());
        if (!line.starts_with(key) || end == std::string::npos) {
            ADD_FAILURE() << "a row without its source: " << line;
            continue;
        }
        std::string& text = rows[line.substr(key.size(), end - key.size())];
        text += '{';
        text.append(line, end + 2);
        text += '\n';
    }
    return rows;
}

TEST(Collection, EverySourceHoldsItsOwnConversionWhateverTheJobs) {
    Collected tree;
    makeTree(tree);
    const TempDir& dir = tree.dir;
    std::string first;
    for (const char* jobs : {"--jobs=1", "--jobs=2", "--jobs=5"}) {
        SCOPED_TRACE(jobs);
        std::string list = dir.pathOf(std::string("all") + jobs + ".jsonl");
        ProgramRun run = runProgram({"--format=jsonl", jobs, "--summary=" + dir.pathOf("summary.jsonl"), "-o",
                                     list, dir.pathOf("hosts")});
        EXPECT_EQ(run.exitCode, 2) << run.console;  // the cut and the fatal database reported errors
        std::string bytes = readWholeFile(list).value_or("");
        if (first.empty()) first = bytes;
        EXPECT_EQ(bytes, first) << "the list changed with the number of jobs";
        EXPECT_NE(run.console.find("14 databases, "), std::string::npos) << run.console;
        EXPECT_NE(run.console.find(", 2 inputs with errors, 2 files skipped\n"), std::string::npos)
            << run.console;
        EXPECT_NE(run.console.find("fatal.db: 1.7.8, 0 rows, bad string size -1\n"), std::string::npos);
    }
    std::map<std::string, std::string> rows = rowsBySource(first);
    EXPECT_EQ(rows.size(), tree.databases.size() - 1);  // the fatal one ended before its first row
    for (const std::string& database : tree.databases) {
        SCOPED_TRACE(database);
        ProgramRun single = runProgram({"--format=jsonl", database, dir.pathOf("single.jsonl")});
        auto own = rows.find(database);
        EXPECT_EQ(own != rows.end() ? own->second : "",
                  readWholeFile(dir.pathOf("single.jsonl")).value_or("?"));
    }
    // One sqlite file of them all, read by sqlite3: each source's rows, and every parent a folder of the
    // same source whose path begins the row's.
    if (findOutputFormat("sqlite") != nullptr) {
        ProgramRun all = runProgram({"--format=sqlite", "-o", dir.pathOf("all.sqlite"), dir.pathOf("hosts")});
        EXPECT_EQ(all.exitCode, 2) << all.console;
        std::string counts;
        for (const auto& [source, text] : rows)
            counts += source + "|" + std::to_string(lines(text).size()) + "\n";
        std::string query =
            "cd " + dir.path() +
            " && sqlite3 all.sqlite 'SELECT s.path, count(*) FROM entries e JOIN sources s ON "
            "e.source = s.id GROUP BY s.id ORDER BY s.path' > counts && sqlite3 all.sqlite "
            "'SELECT count(*) FROM entries e JOIN entries p ON e.parent = p.id WHERE p.source <> "
            "e.source OR NOT p.is_folder OR substr(CAST(e.path AS BLOB), 1, length(CAST(p.path AS BLOB))) <> "
            "CAST(p.path AS BLOB)' > wrong";
        ASSERT_EQ(std::system(query.c_str()), 0);
        EXPECT_EQ(readWholeFile(dir.pathOf("counts")), counts);
        EXPECT_EQ(readWholeFile(dir.pathOf("wrong")), "0\n");
    }
    // Each summary line's hash and size against sha256sum and the file, read back by Python's json.
    std::string check =
        "cd " + dir.path() +
        " && python3 -c 'import json,sys,subprocess,os\n"
        "for l in open(\"summary.jsonl\"):\n"
        "  s=json.loads(l)\n"
        "  h=subprocess.run([\"sha256sum\",s[\"path\"]],capture_output=True,text=True).stdout.split()[0]\n"
        "  assert s[\"sha256\"]==h and s[\"size\"]==os.path.getsize(s[\"path\"]), s\n"
        "  fatal=s[\"path\"].endswith(\"fatal.db\")\n"
        "  assert s[\"status\"]==(1 if fatal else 2 if s[\"path\"].endswith(\"cut.db\") else 0), s\n"
        "  assert (s[\"fatal\"]==\"bad string size -1\")==fatal, s\n"
        "'";
    EXPECT_EQ(std::system(check.c_str()), 0);
    // A reader of the list that goes early ends the run at once, as a single run's does.
    std::string early =
        "cd " + dir.path() + " && bash -c '" + CATADUMP_BINARY +
        " --format=jsonl -o - hosts 2>/dev/null | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}'";
    int status = std::system(early.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 141);
}

TEST(Collection, OwnListsEqualTheSingleRuns) {
    Collected tree;
    makeTree(tree);
    const TempDir& dir = tree.dir;
    ProgramRun run = runProgram({"--output-dir=" + dir.pathOf("lists"), dir.pathOf("hosts")});
    EXPECT_EQ(run.exitCode, 2) << run.console;
    for (const std::string& database : tree.databases) {
        SCOPED_TRACE(database);
        std::string below = fs::relative(database, dir.pathOf("hosts")).string();
        runProgram({database, dir.pathOf("single.qlx")});
        EXPECT_EQ(readWholeFile(dir.pathOf("lists/" + below + ".qlx")),
                  readWholeFile(dir.pathOf("single.qlx")));
    }
    EXPECT_FALSE(fs::exists(dir.pathOf("lists/b/notes.txt.qlx")));
    // A sqlite file's `sources` row holds what the summary says of its input, the console to its closing
    // lines: in a file each, and in the single form's file of a cut database.
    if (findOutputFormat("sqlite") != nullptr) {
        runProgram({"--format=sqlite", "--output-dir=" + dir.pathOf("sq"),
                    "--summary=" + dir.pathOf("sq.jsonl"), dir.pathOf("hosts")});
        const std::string cut = dir.pathOf("hosts/b/cut.db");
        runProgram(
            {"--format=sqlite", "--summary=" + dir.pathOf("cut.jsonl"), cut, dir.pathOf("sq/cut.sqlite")});
        std::string check =
            "cd " + dir.path() +
            " && python3 -c 'import json,os,sqlite3\n"
            "def same(summary, file):\n"
            "  s=json.loads(summary)\n"
            "  [row]=sqlite3.connect(file).execute(\"SELECT path,size,sha256,rows,read_error,corrupt,status,"
            "console FROM sources\").fetchall()\n"
            "  assert row==(s[\"path\"],s[\"size\"],s[\"sha256\"],s[\"rows\"],s[\"read_error\"],"
            "s[\"corrupt\"],s[\"status\"],s[\"console\"]),(row,s)\n"
            "  return s[\"console\"].endswith(\"Error: Encounted atleast one read error\\n\")\n"
            "lines=open(\"sq.jsonl\").readlines()\n"
            "cut=[same(l,\"sq/\"+os.path.relpath(json.loads(l)[\"path\"],\"hosts\")+\".sqlite\") "
            "for l in lines if not json.loads(l)[\"path\"].endswith(\"fatal.db\")]\n"
            "assert cut.count(True)==1 and same(open(\"cut.jsonl\").read(),\"sq/cut.sqlite\")\n'";
        EXPECT_EQ(std::system(check.c_str()), 0);
    }
    // A single database's summary: one line, its hash that of sha256sum, its rows those of its list; a
    // name that is not UTF-8 shows U+FFFD and has its bytes in "path_hex".
    const std::string database = dir.pathOf("caf\xe9.db");
    fs::copy_file(tree.databases.front(), database);
    runProgram({"--summary=" + dir.pathOf("one.jsonl"), database, dir.pathOf("one.qlx")});
    std::string check =
        "cd " + dir.path() +
        " && python3 -c 'import json,subprocess\n"
        "[s]=[json.loads(l) for l in open(\"one.jsonl\")]\n"
        "p=bytes.fromhex(s[\"path_hex\"])\n"
        "assert p.endswith(b\"/caf\\xe9.db\") and s[\"path\"].endswith(\"/caf\\ufffd.db\"), s\n"
        "h=subprocess.run([\"sha256sum\",p],capture_output=True).stdout.split()[0].decode()\n"
        "assert s[\"sha256\"]==h and s[\"status\"]==0 and s[\"mtime\"], s\n"
        "assert s[\"rows\"]==len(open(\"one.qlx\",\"rb\").read().split(b\"\\r\\n\"))-2, s\n"
        "assert s[\"console\"].endswith(\"Conversion complete!\\n\"), s\n'";
    EXPECT_EQ(std::system(check.c_str()), 0);
}

// What a run writes never empties one of its inputs, nor one list another.
TEST(Collection, NothingIsWrittenOverAnInputOrAnEarlierList) {
    TempDir dir;
    const std::string db = databaseOf(Version::v1_7_20, 3);
    fs::create_directories(dir.pathOf("a"));
    fs::create_directories(dir.pathOf("b"));
    dir.write("a/x.db", db);
    dir.write("b/x.db", db);
    struct Case {
        std::vector<std::string> arguments;
        std::string console;
    };
    const Case cases[] = {
        {{"--format=csv", "-o", "a/x.db", "a/x.db"}, "Error: a/x.db is one of the inputs"},
        {{"--format=csv", "--summary=a/x.db", "-o", "all.csv", "a"}, "Error: a/x.db is one of the inputs"},
        {{"--summary=a/x.db", "a/x.db", "out.qlx"}, "Error: the summary a/x.db would replace the database"},
        {{"--output-dir=lists", "a/x.db", "b/x.db"}, "b/x.db: its list would replace that of a/x.db\n"},
    };
    for (const Case& run : cases) {
        SCOPED_TRACE(run.arguments.back());
        std::string line = "cd " + dir.path() + " && " + CATADUMP_BINARY;
        for (const std::string& argument : run.arguments) line += " " + argument;
        line += " > console 2>&1";
        int status = std::system(line.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
        EXPECT_NE(readWholeFile(dir.pathOf("console")).value_or("").find(run.console), std::string::npos);
        EXPECT_EQ(readWholeFile(dir.pathOf("a/x.db")), db);
    }
    EXPECT_TRUE(readWholeFile(dir.pathOf("lists/x.db.qlx")).has_value());
    // The list of an earlier run among the inputs is no database: it is written over, not counted.
    for (int run = 0; run < 2; ++run) {
        std::string again =
            "cd " + dir.path() + " && " + CATADUMP_BINARY + " --format=csv -o a/all.csv a > console";
        EXPECT_EQ(std::system(again.c_str()), 0);
        EXPECT_NE(readWholeFile(dir.pathOf("console"))->find(", 0 files skipped\n"), std::string::npos);
    }
}

TEST(Collection, InputsInOrderWithoutLinkedFoldersOrOutputs) {
    TempDir dir;
    fs::create_directories(dir.pathOf("in/b"));
    dir.write("in/b/z", "");
    dir.write("in/a", "");
    dir.write("in/c", "");
    dir.write("single", "");
    fs::create_directory_symlink("b", dir.pathOf("in/loop"));
    fs::create_symlink("a", dir.pathOf("in/d"));
    fs::create_symlink("missing", dir.pathOf("in/e"));
    FoundInputs found = findInputs({dir.pathOf("in"), "-", dir.pathOf("single")}, {dir.pathOf("in/c")});
    std::vector<std::string> sources;
    for (const FoundInput& input : found.inputs)
        sources.push_back(input.source + (input.inFolder ? "*" : ""));
    std::vector<std::string> expected = {dir.pathOf("in/a*"), dir.pathOf("in/b/z*"), dir.pathOf("in/d*"), "-",
                                         dir.pathOf("single")};
    EXPECT_EQ(sources, expected);
    EXPECT_EQ(found.skipped, 1u);  // the broken link
    EXPECT_EQ(found.inputs[1].below, "b/z");
}

// On a terminal a line shows the collection's progress while it runs, and is erased before the next input's
// line. The second input comes through a pipe, its second half after a pause longer than the wait before
// the first drawing, so the run is long enough on any machine.
TEST(Collection, ShowsItsProgressOnATerminal) {
    TempDir dir;
    const std::string db = databaseOf(Version::v1_7_20, 5);
    const std::string first = dir.write("first.db", db);
    const std::string second = dir.pathOf("second.db");
    ASSERT_EQ(::mkfifo(second.c_str(), 0600), 0);
    const std::string list = dir.pathOf("all.csv");
    int terminal = -1;
    std::fflush(nullptr);
    pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(CATADUMP_BINARY, CATADUMP_BINARY, "--format=csv", "--jobs=1", "-o", list.c_str(),
                first.c_str(), second.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::thread feeder([&] {
        int pipe = -1;  // opened once the program reads it; not waited for past the deadline
        while ((pipe = ::open(second.c_str(), O_WRONLY | O_NONBLOCK)) < 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (pipe < 0) return;
        ::fcntl(pipe, F_SETFL, 0);
        size_t half = db.size() / 2;
        bool written = ::write(pipe, db.data(), half) == static_cast<ssize_t>(half);
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        if (written) written = ::write(pipe, db.data() + half, db.size() - half) > 0;
        ::close(pipe);
    });
    std::string screen;
    readTerminal(terminal, deadline, screen);
    if (std::chrono::steady_clock::now() >= deadline) ::kill(child, SIGKILL);
    feeder.join();
    ::close(terminal);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    std::smatch progress;
    ASSERT_TRUE(std::regex_search(screen, progress,
                                  std::regex("\r1 of 2 inputs, 170 rows, [0-9]+\\.[0-9] MB/s\x1b\\[K")))
        << screen;
    size_t drawn = static_cast<size_t>(progress.position(0));
    EXPECT_LT(screen.find(first + ": 1.7.20, 170 rows\r\n"), drawn) << screen;
    EXPECT_EQ(screen.find("\r\x1b[K" + second + ": 1.7.20, 170 rows\r\n", drawn) == std::string::npos, false)
        << screen;
}

// Parts finishing in every order, some holding more than memory keeps: the list is always in input order.
TEST(OrderedOutput, TheListKeepsInputOrderWhateverFinishesFirst) {
    const std::vector<std::vector<size_t>> orders = {{0, 1, 2}, {2, 1, 0}, {1, 2, 0}, {0, 2, 1}};
    for (const auto& order : orders) {
        MemorySink sink;
        OrderedOutput output;
        output.heldInMemory = 5;
        startOrderedOutput(output, memorySink(sink), 3);
        for (size_t index : order) {
            ByteSink part = orderedPartSink(output, index);
            std::string text = std::string(3, static_cast<char>('a' + index));
            for (int write = 0; write < 3; ++write)
                EXPECT_TRUE(part.write(part.context, text.data(), text.size()));
        }
        for (size_t index : order) EXPECT_TRUE(finishOrderedPart(output, index));
        EXPECT_EQ(sink.bytes, "aaaaaaaaabbbbbbbbbccccccccc");
    }
    // Into the null device, where no order is kept, every part writes at once and holds nothing.
    MemorySink sink;
    OrderedOutput output;
    startOrderedOutput(output, memorySink(sink), 2, true);
    ByteSink second = orderedPartSink(output, 1);
    EXPECT_TRUE(second.write(second.context, "b", 1));
    EXPECT_EQ(sink.bytes, "b");
}

}  // namespace
}  // namespace catadump::test
