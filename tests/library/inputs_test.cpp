// The collection's inputs through the C API against the program's own: a tree with every version raw and
// bzip2-wrapped, a text file, a short file, bzip2 data that is no database, a link loop, a link to a
// database, a broken link and a pipe, beside operands that are a file, nothing and standard input. The
// inputs are the sources of the program's console lines, in their order, and the skipped files its count.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "catadump.h"
#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

namespace fs = std::filesystem;

struct Found {
    std::vector<catadump_input> inputs;
    std::vector<std::string> sources;
    size_t skipped = 0;
};

// The inputs of the operands; `found` is freed by the caller.
Found findInputs(const std::vector<std::string>& operands, catadump_inputs*& found) {
    std::vector<const char*> pointers;
    for (const std::string& operand : operands) pointers.push_back(operand.c_str());
    Found result;
    found = nullptr;
    EXPECT_EQ(catadump_find_inputs(pointers.data(), pointers.size(), &found), 0);
    if (found == nullptr) return result;
    for (size_t i = 0; i < catadump_inputs_count(found); ++i) {
        catadump_input input{};
        EXPECT_EQ(catadump_input_at(found, i, &input), 0);
        result.inputs.push_back(input);
        result.sources.emplace_back(input.source);
    }
    result.skipped = catadump_inputs_skipped(found);
    return result;
}

// The program's inputs: the source of each console line before the closing one, and the files skipped.
Found programsInputs(const ProgramRun& run) {
    Found result;
    std::vector<std::string> console = lines(run.console);
    if (console.empty()) return result;
    for (size_t i = 0; i + 1 < console.size(); ++i) {
        size_t end = console[i].find(": ");  // no path here holds one
        result.sources.push_back(console[i].substr(0, end));
    }
    const std::string& closing = console.back();
    size_t at = closing.rfind(", ");
    if (at != std::string::npos) result.skipped = std::stoul(closing.substr(at + 2));
    return result;
}

// The sources of the csv list's rows, each once, in the order they come.
std::vector<std::string> csvSources(const std::string& csv) {
    std::vector<std::string> sources;
    for (const std::string& row : csvRows(csv)) {
        if (!row.starts_with('"')) continue;  // the header
        std::string source = row.substr(1, row.find("\",") - 1);
        if (sources.empty() || sources.back() != source) sources.push_back(source);
    }
    return sources;
}

TEST(LibraryInputs, AreThoseOfTheProgramsCollection) {
    TempDir dir;
    fs::create_directories(dir.pathOf("top/a"));
    fs::create_directories(dir.pathOf("top/b/deeper"));
    fs::create_directories(dir.pathOf("top/empty"));
    uint32_t seed = 1;
    for (Version version : allVersions) {
        catagen::SyntheticParams params;
        params.seed = seed++;
        params.folders = 10;
        params.files = 40;
        std::string raw = catagen::encodeDatabase(catagen::makeSyntheticTree(params), version);
        std::string folder = seed % 2 == 0 ? "top/a/" : "top/b/deeper/";
        dir.write(folder + versionName(version) + ".db", raw);
        dir.write(folder + versionName(version) + ".db.bz2", bzip2(raw));
    }
    dir.write("top/b/notes.txt", "not a database\n");
    dir.write("top/b/short", "QRT");
    dir.write("top/b/text.bz2", bzip2("a text, wrapped, that is no database\n"));
    dir.write("top/caf\xe9 \xff.db", syntheticDatabase(5, 10));
    fs::create_directory_symlink("..", dir.pathOf("top/b/up"));
    fs::create_symlink("deeper/V1_7_20.db", dir.pathOf("top/b/link.db"));
    fs::create_symlink("nowhere", dir.pathOf("top/b/broken"));
    ASSERT_EQ(::mkfifo(dir.pathOf("top/a/pipe").c_str(), 0600), 0);
    const std::vector<std::string> operands = {dir.pathOf("top"), dir.pathOf("top/b/notes.txt"),
                                               dir.pathOf("absent.db"), "-", dir.pathOf("top/b/")};

    catadump_inputs* found = nullptr;
    Found library = findInputs(operands, found);
    std::vector<std::string> arguments = {"--format=csv", "-o", dir.pathOf("all.csv")};
    arguments.insert(arguments.end(), operands.begin(), operands.end());
    ProgramRun run = runProgram(arguments);
    Found program = programsInputs(run);
    EXPECT_EQ(library.sources, program.sources) << run.console;
    EXPECT_EQ(library.skipped, program.skipped) << run.console;
    // Of top: 12 databases, the link to one and the one named not in UTF-8; three operands; of top/b: 6
    // databases and the link.
    EXPECT_EQ(library.sources.size(), 14u + 3 + 7);
    // The pipe, and in each search of b the broken link, notes.txt, short and text.bz2.
    EXPECT_EQ(library.skipped, 1u + 2 * 4);

    // The csv list's sources are those of the inputs that gave rows, in the same order.
    std::vector<std::string> withRows;
    for (const std::string& source : csvSources(readWholeFile(dir.pathOf("all.csv")).value_or(""))) {
        withRows.push_back(source);
    }
    std::vector<std::string> expected;
    for (const std::string& source : library.sources) {
        if ((source.ends_with(".db") || source.ends_with(".bz2")) && !source.ends_with("absent.db"))
            expected.push_back(source);
    }
    EXPECT_EQ(withRows, expected);

    // What each input says of itself.
    for (const catadump_input& input : library.inputs) {
        std::string source = input.source;
        SCOPED_TRACE(source);
        EXPECT_EQ(input.problem, nullptr);
        if (source == "-") {
            EXPECT_STREQ(input.below, "stdin");
            EXPECT_EQ(input.in_folder, 0);
        } else if (!input.in_folder) {
            EXPECT_EQ(fs::path(source).filename().string(), input.below);
        } else {
            const std::string top = dir.pathOf("top") + "/", b = dir.pathOf("top/b/");
            EXPECT_TRUE(source == top + input.below || source == b + input.below);
        }
    }
    catadump_input input{};
    errno = 0;
    EXPECT_EQ(catadump_input_at(found, library.inputs.size(), &input), -1);
    EXPECT_EQ(errno, EINVAL);
    catadump_inputs_free(found);
}

TEST(LibraryInputs, NoOperandsAFolderThatCannotBeListedAndNullOperands) {
    catadump_inputs* found = nullptr;
    ASSERT_EQ(catadump_find_inputs(nullptr, 0, &found), 0);
    EXPECT_EQ(catadump_inputs_count(found), 0u);
    EXPECT_EQ(catadump_inputs_skipped(found), 0u);
    catadump_inputs_free(found);
    const char* withNull[] = {"-", nullptr};
    errno = 0;
    EXPECT_EQ(catadump_find_inputs(withNull, 2, &found), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(found, nullptr);
    errno = 0;
    EXPECT_EQ(catadump_find_inputs(nullptr, 1, &found), -1);
    EXPECT_EQ(errno, EINVAL);

    // A folder without the right to list it: an input that is only its problem, as the program's console
    // line says; a file in a folder that cannot be read stays an input, whose conversion fails to open it.
    TempDir dir;
    fs::create_directories(dir.pathOf("top/closed"));
    dir.write("top/closed/x.db", syntheticDatabase(5, 10));
    dir.write("top/locked.db", syntheticDatabase(5, 10));
    ::chmod(dir.pathOf("top/closed").c_str(), 0);
    ::chmod(dir.pathOf("top/locked.db").c_str(), 0);
    const std::vector<std::string> operands = {dir.pathOf("top")};
    if (::geteuid() != 0) {
        Found library = findInputs(operands, found);
        ProgramRun run = runProgram({"--format=csv", "-o", dir.pathOf("all.csv"), dir.pathOf("top")});
        ::chmod(dir.pathOf("top/closed").c_str(), 0700);
        ASSERT_EQ(library.inputs.size(), 2u);
        EXPECT_EQ(library.sources, programsInputs(run).sources);
        ASSERT_NE(library.inputs[0].problem, nullptr);
        EXPECT_NE(run.console.find(library.sources[0] + ": " + library.inputs[0].problem), std::string::npos)
            << run.console;
        EXPECT_EQ(library.inputs[1].problem, nullptr);
        EXPECT_NE(run.console.find(library.sources[1] + ": could not open it for reading"), std::string::npos)
            << run.console;
        catadump_inputs_free(found);
        return;
    }
    // Root reads every file and folder: the library looks in a child that has become the user nobody (the
    // program is not started there: its folder may be closed to that user). The child writes what is
    // wrong to a pipe, and exits with 77 where it could not become nobody.
    ::chmod(dir.path().c_str(), 0755);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(77);
        catadump_inputs* inChild = nullptr;
        std::vector<const char*> pointers = {operands[0].c_str()};
        std::string wrong;
        catadump_input closed{}, locked{};
        if (catadump_find_inputs(pointers.data(), 1, &inChild) != 0 || catadump_inputs_count(inChild) != 2 ||
            catadump_input_at(inChild, 0, &closed) != 0 || catadump_input_at(inChild, 1, &locked) != 0) {
            wrong = "not the two inputs";
        } else if (closed.source != dir.pathOf("top/closed") || closed.problem == nullptr ||
                   !std::string_view(closed.problem).starts_with("could not read the folder (")) {
            wrong = std::string("the closed folder: ") + closed.source + ": " +
                    (closed.problem != nullptr ? closed.problem : "no problem");
        } else if (locked.source != dir.pathOf("top/locked.db") || locked.problem != nullptr) {
            wrong = std::string("the locked file: ") + locked.source;
        }
        ssize_t written = ::write(pipe[1], wrong.data(), wrong.size());
        ::_exit(written == static_cast<ssize_t>(wrong.size()) ? 0 : 1);
    }
    ::close(pipe[1]);
    std::string wrong;
    char chunk[256];
    for (ssize_t got; (got = ::read(pipe[0], chunk, sizeof chunk)) > 0;)
        wrong.append(chunk, static_cast<size_t>(got));
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::chmod(dir.pathOf("top/closed").c_str(), 0700);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status;
    EXPECT_EQ(wrong, "");
}

}  // namespace
}  // namespace catadump::test
