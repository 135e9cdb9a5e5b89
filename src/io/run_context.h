// What one conversion carries from start to end: the three flags that connect its layers and the console
// its lines go to. The stream and the writer point to it, so every reader reaches it through them; nothing
// of a run lives beyond it.
#pragma once

#include <cstddef>
#include <thread>

namespace catadump {

struct RunFlags {
    bool readError = false;   // a read failed or came up short; zeroes were delivered instead
    bool writeError = false;  // a write to the output failed or came up short
    bool corrupt = false;     // a reader met a structural error and stopped
};

// Where the console lines go: standard output for the program, memory in tests.
struct Console {
    void* context = nullptr;
    void (*write)(void* context, const char* text, size_t n) = nullptr;
};

// Starts `thread` running body(context); false when the system would not start one (a process or thread
// limit, or no memory for it). Every thread of a run starts through its starter, so that tests can refuse.
using ThreadStarter = bool (*)(std::thread& thread, void (*body)(void*), void* context);
bool startSystemThread(std::thread& thread, void (*body)(void*), void* context);

// The alignment of a record that one thread of a run writes all the time while another thread writes a
// record of its own (the stream the reader moves through, the writer and the format's room): on lines of
// their own, neither thread's writes evict the lines the other is using. 128 bytes, as processors fetch
// lines in pairs.
inline constexpr size_t threadOwnedAlignment = 128;

// What a recovering run found: its rows by status, and the gaps the damage left.
struct RecoveryTotals {
    uint64_t intact = 0;
    uint64_t recovered = 0;
    uint64_t partial = 0;
    uint64_t gaps = 0;
};

struct RunContext {
    RunFlags flags;  // each starts clear and is never cleared during the run
    Console console;
    ThreadStarter startThread = startSystemThread;
    // The user asked for recovery (--recover): where a strict run stops on damage, the readers go on
    // after it, and every entry says whether it was read before the damage, whole after it, or in part.
    bool recover = false;
    RecoveryTotals recovery;  // filled in by a reader that recovered
};

// Formats one piece of a console line, as printf does, and hands it to the console (the run's).
#if defined(__GNUC__)
#define CATADUMP_PRINTF_LIKE __attribute__((format(printf, 2, 3)))
#else
#define CATADUMP_PRINTF_LIKE
#endif
void say(Console& console, const char* format, ...) CATADUMP_PRINTF_LIKE;
void say(RunContext& run, const char* format, ...) CATADUMP_PRINTF_LIKE;

// Reports a structural error that stops the reader: prints the line and raises the corrupt flag. Always
// false, so that a check that fails can end with `return reportCorrupt(...)`.
bool reportCorrupt(RunContext& run, const char* format, ...) CATADUMP_PRINTF_LIKE;

// A condition that ends the run at once ("Out of Memory", "bad string size -1", ...): its console line.
struct FatalCondition {
    const char* line;
};

// Ends the conversion on a fatal condition: unwinds to the entry point, which leaves in the output only
// what the 64 KiB buffer had written out and hands the line to the program. No report and no flush follow.
[[noreturn]] void fatal(const char* line);

// The output was a pipe whose reader has gone: nothing more can reach it, so the conversion ends at once,
// unwinding as a fatal condition does, without a line.
struct OutputClosed {};

}  // namespace catadump
