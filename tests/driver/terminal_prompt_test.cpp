// Without two arguments and without a graphical session, the program asks for both paths on its terminal.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/conversion_harness.h"
#include "support/db_builder.h"
#include "support/terminal.h"

namespace catadump::test {
namespace {

constexpr std::string_view databasePrompt = "Please select Quillseek.db: ";
constexpr std::string_view outputPrompt = "Save Database As...: ";

struct TerminalRun {
    std::string screen;  // everything the terminal showed, echoed answers included, with "\n" line ends
    int exitCode = -1;
    int promptsShown = 0;
};

// Runs the program without arguments on a new pseudo-terminal and types each answer (with its own line
// end or end-of-input character) once the matching prompt appears.
TerminalRun runOnTerminal(const std::vector<std::string>& answers) {
    int terminal = -1;
    std::fflush(nullptr);
    pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0) throw std::runtime_error("forkpty failed");
    if (child == 0) {
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::execl(CATADUMP_BINARY, CATADUMP_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
    }

    TerminalRun run;
    std::string raw;
    size_t answered = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    readTerminal(terminal, deadline, raw, [&](const std::string& screen) {
        size_t shown = (screen.find(databasePrompt) != std::string::npos ? 1 : 0) +
                       (screen.find(outputPrompt) != std::string::npos ? 1 : 0);
        while (answered < answers.size() && answered < shown) {
            const std::string& answer = answers[answered++];
            if (::write(terminal, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) break;
        }
    });
    if (std::chrono::steady_clock::now() >= deadline) ::kill(child, SIGKILL);
    ::close(terminal);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

    for (char c : raw) {
        if (c != '\r') run.screen += c;
    }
    for (std::string_view prompt : {databasePrompt, outputPrompt}) {
        if (run.screen.find(prompt) != std::string::npos) ++run.promptsShown;
    }
    return run;
}

class TerminalPrompt : public ::testing::Test {
  protected:
    TempDir dir;
    std::string database =
        dir.write("Quillseek.db", DbBuilder().header("QWTB", versionWord(1, 6, 9)).bytes());
};

TEST_F(TerminalPrompt, BothAnswersConvert) {
    std::string output = dir.pathOf("list.qlx");
    TerminalRun run = runOnTerminal({database + "\n", output + "\n"});
    EXPECT_EQ(run.screen, "catadump <quillseek.db> <out.qlx>\n" + std::string(databasePrompt) + database +
                              "\n" + std::string(outputPrompt) + output + "\n" + database +
                              " opened for reading...\n" + output +
                              " created for writing...\nMagic QWTB\nVersion 1.6.9\n"
                              "Unknown DB version 01060009\n");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(readWholeFile(output), "");
}

TEST_F(TerminalPrompt, OutputNameTypedWithoutExtensionGetsIt) {
    // Ended by CR LF (the CR typed literally, after ^V): the CR is no part of the name.
    TerminalRun run = runOnTerminal({database + "\n", dir.pathOf("list") + "\x16\r\n"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(std::filesystem::exists(dir.pathOf("list.qlx"))) << run.screen;
}

struct Cancellation {
    std::string name;
    bool answerDatabase;  // answer the first prompt with the database, then cancel the second
    std::string cancel;
};
void PrintTo(const Cancellation& test, std::ostream* out) { *out << test.name; }

class TerminalCancel : public TerminalPrompt, public ::testing::WithParamInterface<Cancellation> {};

TEST_P(TerminalCancel, EndsWithoutOpeningAnything) {
    std::vector<std::string> answers;
    if (GetParam().answerDatabase) answers.push_back(database + "\n");
    answers.push_back(GetParam().cancel);
    TerminalRun run = runOnTerminal(answers);
    EXPECT_EQ(run.exitCode, 1) << run.screen;
    EXPECT_EQ(run.promptsShown, GetParam().answerDatabase ? 2 : 1) << run.screen;
    EXPECT_EQ(run.screen.find("opened for reading"), std::string::npos) << run.screen;
    auto files = std::distance(std::filesystem::directory_iterator(dir.path()), {});
    EXPECT_EQ(files, 1);  // the database alone: no output was created
}

INSTANTIATE_TEST_SUITE_P(, TerminalCancel,
                         ::testing::Values(Cancellation{"EmptyDatabaseAnswer", false, "\n"},
                                           Cancellation{"EndOfInputAtDatabase", false, "\x04"},
                                           Cancellation{"EmptyOutputAnswer", true, "\n"},
                                           Cancellation{"EndOfInputAtOutput", true, "\x04"}),
                         [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace catadump::test
