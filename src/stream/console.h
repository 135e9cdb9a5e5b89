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

// Prints the line and ends the process at once with exit code 1: no final report, no final flush.
[[noreturn]] void fatal(const char* line);

} // namespace catadump
