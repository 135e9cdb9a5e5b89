// The progress line: nothing for short runs, at most ten drawings a second, and sensible figures.
#include <gtest/gtest.h>

#include "driver/progress.h"
#include "stream/console.h"

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

TEST(StatusLine, IsErasedBeforeAnyConsoleLineAndNeverReachesStandardOutput) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    showStatus(" 50.0% read");
    say("Loading files...\n");
    say("Conversion complete!\n");
    clearStatus();
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "Loading files...\nConversion complete!\n");
    EXPECT_EQ(err, "\r 50.0% read\x1b[K\r\x1b[K");
}

} // namespace
} // namespace catadump::test
