// The progress line of a long conversion, on standard error when that is a terminal: the share of the
// database file read, the rows written, the rate and the time left, redrawn at most ten times a second and
// erased before anything else is printed. Standard output is never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "io/run_context.h"

namespace catadump {

using ProgressClock = std::chrono::steady_clock;

struct ProgressDisplay {
    uint64_t fileSize = 0;
    ProgressClock::time_point started;
    ProgressClock::time_point lastDrawn;
    bool drawnOnce = false;
};

inline constexpr std::chrono::milliseconds progressFirstDelay{500};  // short runs show nothing
inline constexpr std::chrono::milliseconds progressInterval{100};

void startProgress(ProgressDisplay& progress, uint64_t fileSize, ProgressClock::time_point now);

// The line to draw now, or empty when it is too early since the start or the last drawing.
std::string progressLine(ProgressDisplay& progress, uint64_t bytesRead, uint64_t rowsWritten,
                         ProgressClock::time_point now);

// The program's console: the lines on `lines` (standard output), a status line on `status` (standard
// error, a terminal) drawn over itself and erased before any line is printed, so the lines stay exactly
// as they are.
struct Terminal {
    std::FILE* lines = stdout;
    std::FILE* status = stderr;
    bool statusShown = false;  // the status file's current line holds a status line
};

void showStatus(Terminal& terminal, const char* text);
void clearStatus(Terminal& terminal);
Console terminalConsole(Terminal& terminal);

}  // namespace catadump
