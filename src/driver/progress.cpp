#include "driver/progress.h"

#include <cstdio>

namespace catadump {

void startProgress(ProgressDisplay& progress, uint64_t fileSize, ProgressClock::time_point now) {
    progress.fileSize = fileSize;
    progress.started = now;
    progress.lastDrawn = now;
    progress.drawnOnce = false;
}

std::string progressLine(ProgressDisplay& progress, uint64_t bytesRead, uint64_t rowsWritten,
                         ProgressClock::time_point now) {
    if (now - progress.started < progressFirstDelay) return {};
    if (progress.drawnOnce && now - progress.lastDrawn < progressInterval) return {};
    progress.drawnOnce = true;
    progress.lastDrawn = now;

    double seconds = std::chrono::duration<double>(now - progress.started).count();
    double share =
        progress.fileSize > 0 ? static_cast<double>(bytesRead) / static_cast<double>(progress.fileSize) : 0;
    if (share > 1) share = 1;
    double rate = seconds > 0 ? static_cast<double>(rowsWritten) / seconds : 0;
    char text[160];
    if (share > 0.001) {
        double left = seconds * (1 - share) / share;
        std::snprintf(text, sizeof text, "%5.1f%% read, %llu rows, %.0f rows/s, %.0f s left", share * 100,
                      static_cast<unsigned long long>(rowsWritten), rate, left);
    } else {
        std::snprintf(text, sizeof text, "%5.1f%% read, %llu rows, %.0f rows/s", share * 100,
                      static_cast<unsigned long long>(rowsWritten), rate);
    }
    return text;
}

void showStatus(Terminal& terminal, const char* text) {
    std::fprintf(terminal.status, "\r%s\x1b[K", text);
    std::fflush(terminal.status);
    terminal.statusShown = true;
}

void clearStatus(Terminal& terminal) {
    if (!terminal.statusShown) return;
    std::fputs("\r\x1b[K", terminal.status);
    std::fflush(terminal.status);
    terminal.statusShown = false;
}

namespace {

void writeLines(void* context, const char* text, size_t n) {
    auto& terminal = *static_cast<Terminal*>(context);
    clearStatus(terminal);
    std::fwrite(text, 1, n, terminal.lines);
}

}  // namespace

Console terminalConsole(Terminal& terminal) { return {&terminal, writeLines}; }

}  // namespace catadump
