// Running conversions from the tests: in-process on a byte string (memory source and memory sink), or the
// built program on files in a temporary directory.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/convert.h"
#include "formats/output_format.h"
#include "input/database_stream.h"
#include "io/run_context.h"
#include "output/csv_writer.h"

namespace catadump::test {

// An output that keeps everything written to it and the size of each write. Writes can be made to fail.
struct MemorySink {
    std::string bytes;
    std::vector<size_t> writes;
    int failNext = 0;  // this many coming writes fail (their bytes are dropped)
    bool failAlways = false;
};
ByteSink memorySink(MemorySink& sink);

// A libcatadump read callback over memory: the io layer's memory source, as a program's callback.
inline long long readMemory(void* context, void* buffer, size_t size) {
    ByteSource source = memorySource(*static_cast<MemoryInput*>(context));
    return source.read(source.context, buffer, size);
}

// A byte source over memory that counts how often it is asked for bytes.
struct CountingInput {
    explicit CountingInput(std::string bytes) : data(std::move(bytes)) {
        input.data = reinterpret_cast<const uint8_t*>(data.data());
        input.size = data.size();
    }
    CountingInput(const CountingInput&) = delete;
    CountingInput& operator=(const CountingInput&) = delete;
    ByteSource source();

    std::string data;
    MemoryInput input;
    int reads = 0;
    size_t readLimit = 0;  // when not 0, no read gives more bytes than this, as a pipe may not
};

// A run whose console lines gather in memory, for tests that drive the stream or the writer themselves.
struct CapturedRun {
    CapturedRun();
    CapturedRun(const CapturedRun&) = delete;
    CapturedRun& operator=(const CapturedRun&) = delete;

    RunContext run;
    std::string console;
};

// A console that appends its lines to the string.
Console memoryConsole(std::string& text);

struct InMemoryConversion {
    std::string console;
    std::string csv;
    RunFlags flags;
    bool recognised = false;
    const char* fatalLine = nullptr;
    uint64_t datesOutOfRange = 0;
};

// Converts the bytes in process (the dispatch, and so the reader of the database's version), and collects
// the console text, the list's bytes after the final flush and the flags. The list is in `format` (a test
// may pass a format of its own).
InMemoryConversion convertInMemory(std::string_view database, size_t readAhead = defaultReadAhead,
                                   const OutputFormat& format = qlxFormat());
// The same with the conversion's options as the caller sets them.
InMemoryConversion convertInMemory(std::string_view database, const ConversionOptions& options);

// A directory of its own for one test, removed with its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string pathOf(std::string_view name) const { return path_ + "/" + std::string(name); }
    // Writes the bytes to a file of that name and returns its path.
    std::string write(std::string_view name, std::string_view bytes) const;

  private:
    std::string path_;
};

std::optional<std::string> readWholeFile(const std::string& path);

struct ProgramRun {
    std::string console;       // standard output
    int exitCode = -1;         // -1 when the program did not exit normally
    long maxResidentKiB = -1;  // the program's own peak resident memory
};

// Whether this build runs under a sanitizer, whose shadow memory needs far more address space.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool sanitizedBuild = true;
#else
inline constexpr bool sanitizedBuild = false;
#endif
#else
inline constexpr bool sanitizedBuild = false;
#endif

// Runs the built program with these arguments after its name, standard input from /dev/null (or, given
// `standardInput`, a pipe that another process writes those bytes into and then closes) and no graphical
// session, and waits for it (a minute at most). With memoryBoundMiB, its allocations are bounded: its
// address space is limited to that, or, in a sanitized build, each single allocation is; a program that
// reserves memory by a declared count then fails instead of using what the machine has. With
// nonBlockingInput, the pipe of standard input is in non-blocking mode and its bytes come in small writes
// with pauses, so that the program's reads find it empty time and again.
ProgramRun runProgram(const std::vector<std::string>& arguments, size_t memoryBoundMiB = 0,
                      const std::string* standardInput = nullptr, bool nonBlockingInput = false);

struct FileConversion {
    std::string console;
    int exitCode = -1;
    std::string databasePath;
    std::string outputPath;
    std::optional<std::string> csv;  // absent when no output file was created
};

// Writes the database to a file in the directory and converts it with the built program, into out.qlx
// there or into `output` when one is named.
FileConversion convertFile(const TempDir& directory, std::string_view database,
                           const std::string& output = {});

// Converts the database with the built program reading it through a pipe (as /dev/stdin); the console's
// first line names that path. With nonBlocking, the program reads its standard input ("-") itself, a pipe
// in non-blocking mode that the bytes arrive in slowly.
FileConversion convertPiped(const TempDir& directory, const std::string& database, bool nonBlocking = false);

// The console after the program's two lines that name the database and the list (a failure when they are
// not there).
std::string afterFileLines(const FileConversion& run);

// The text split at "\n", without the line ends; a last line without "\n" is kept.
std::vector<std::string> lines(std::string_view text);

// The CSV split into its rows, each with its CR LF; a last row without one is kept.
std::vector<std::string> csvRows(std::string_view csv);

// The console from its first line that starts with `line`; empty when no line does.
std::string consoleFrom(std::string_view console, std::string_view line);

// The reader's part of a conversion's console: what follows the dispatch's "Magic" and "Version" lines.
std::string readerLines(std::string_view console);

// printf into a string, for expected console lines and rows.
template <typename... Arguments> std::string printed(const char* pattern, Arguments... arguments) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, arguments...);
    return text;
}

}  // namespace catadump::test
