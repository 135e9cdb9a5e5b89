#include "io/run_context.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <system_error>

namespace catadump {

namespace {

void sayFormatted(Console& console, const char* format, va_list arguments) {
    char line[512];
    va_list again;
    va_copy(again, arguments);
    int length = std::vsnprintf(line, sizeof line, format, arguments);
    // The length counts every byte, zero bytes that %c printed among them.
    if (length >= 0 && static_cast<size_t>(length) < sizeof line) {
        console.write(console.context, line, static_cast<size_t>(length));
    } else if (length > 0) {
        std::string longer(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(longer.data(), longer.size(), format, again);
        console.write(console.context, longer.data(), static_cast<size_t>(length));
    }
    va_end(again);
}

}  // namespace

void say(Console& console, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    sayFormatted(console, format, arguments);
    va_end(arguments);
}

void say(RunContext& run, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    sayFormatted(run.console, format, arguments);
    va_end(arguments);
}

bool reportCorrupt(RunContext& run, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    sayFormatted(run.console, format, arguments);
    va_end(arguments);
    run.flags.corrupt = true;
    return false;
}

void fatal(const char* line) { throw FatalCondition{line}; }

bool startSystemThread(std::thread& thread, void (*body)(void*), void* context) {
    try {
        thread = std::thread(body, context);
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace catadump
