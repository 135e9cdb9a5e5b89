// The progress line of a long conversion, on standard error when that is a terminal: the share of the
// database file read, the rows written, the rate and the time left, redrawn at most ten times a second and
// erased before anything else is printed. Standard output is never touched.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

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

} // namespace catadump
