#include "stream/console.h"

#include <cstdarg>

namespace catadump {

namespace {
// Whether the terminal's current line holds a status line: the one piece of terminal state the console
// keeps, so that output never lands in the middle of it.
bool statusShown = false;
} // namespace

void showStatus(const char* text) {
    std::fprintf(stderr, "\r%s\x1b[K", text);
    std::fflush(stderr);
    statusShown = true;
}

void clearStatus() {
    if (!statusShown) return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    statusShown = false;
}

void say(const char* format, ...) {
    clearStatus();
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}


} // namespace catadump
