// Console lines of the conversion. Every line goes to standard output through formatted printing, exactly as
// the program's messages are worded; the three fatal conditions end the process from here.
#pragma once

#include <cstdio>

namespace catadump {

// Prints one formatted piece to standard output.
void say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A status line on standard error (a terminal): drawn over itself, and erased before anything is printed
// with say() so the console lines stay exactly as they are.
void showStatus(const char* text);
void clearStatus();

// Prints the line and ends the process at once with exit code 1: no final report, no final flush.
[[noreturn]] void fatal(const char* line);

} // namespace catadump
