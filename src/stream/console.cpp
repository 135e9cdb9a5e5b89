#include "stream/console.h"

#include <cstdarg>
#include <cstdlib>

namespace catadump {

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

void fatal(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
    std::exit(1);
}

} // namespace catadump
