// The progress line: nothing for short runs, at most ten drawings a second, and sensible figures.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

#include "driver/progress.h"

namespace catadump::test {
namespace {

using namespace std::chrono_literals;

TEST(ProgressLine, WaitsHalfASecondThenRedrawsAtMostTenTimesASecond) {
    ProgressDisplay progress;
    ProgressClock::time_point start{};
    startProgress(progress, 1000, start);
    EXPECT_EQ(progressLine(progress, 100, 10, start + 499ms), "");
    EXPECT_NE(progressLine(progress, 100, 10, start + 500ms), "");
    EXPECT_EQ(progressLine(progress, 200, 20, start + 599ms), "");
    EXPECT_NE(progressLine(progress, 200, 20, start + 600ms), "");
}

TEST(ProgressLine, ShowsShareRowsRateAndTimeLeft) {
    ProgressDisplay progress;
    ProgressClock::time_point start{};
    startProgress(progress, 1000, start);
    std::string line = progressLine(progress, 250, 5000, start + 2s);
    EXPECT_EQ(line, " 25.0% read, 5000 rows, 2500 rows/s, 6 s left");
    // A file that grew while it was read never shows more than all of it.
    line = progressLine(progress, 4000, 6000, start + 3s);
    EXPECT_EQ(line.substr(0, 12), "100.0% read,");
}

std::string contentsOf(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
}

TEST(StatusLine, IsErasedBeforeAnyConsoleLineAndNeverReachesTheLines) {
    Terminal terminal{std::tmpfile(), std::tmpfile()};
    ASSERT_NE(terminal.lines, nullptr);
    ASSERT_NE(terminal.status, nullptr);
    Console console = terminalConsole(terminal);
    showStatus(terminal, " 50.0% read");
    say(console, "Loading files...\n");
    say(console, "Conversion complete!\n");
    clearStatus(terminal);
    EXPECT_EQ(contentsOf(terminal.lines), "Loading files...\nConversion complete!\n");
    EXPECT_EQ(contentsOf(terminal.status), "\r 50.0% read\x1b[K\r\x1b[K");
    std::fclose(terminal.lines);
    std::fclose(terminal.status);
}

}  // namespace
}  // namespace catadump::test
