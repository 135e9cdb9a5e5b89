#include "support/conversion_harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/convert.h"
#include "io/byte_source.h"

namespace catadump::test {

namespace {

bool writeToMemory(void* context, const void* bytes, size_t n) {
    auto& sink = *static_cast<MemorySink*>(context);
    sink.writes.push_back(n);
    if (sink.failAlways) return false;
    if (sink.failNext > 0) {
        --sink.failNext;
        return false;
    }
    sink.bytes.append(static_cast<const char*>(bytes), n);
    return true;
}

int64_t countedRead(void* context, void* destination, size_t n) {
    auto& counting = *static_cast<CountingInput*>(context);
    ++counting.reads;
    MemoryInput& input = counting.input;
    if (counting.readLimit != 0) n = std::min(n, counting.readLimit);
    size_t count = std::min(n, input.size - input.position);
    if (count > 0) std::memcpy(destination, input.data + input.position, count);
    input.position += count;
    return static_cast<int64_t>(count);
}

int noError(void*) { return 0; }

void appendToText(void* context, const char* text, size_t n) {
    static_cast<std::string*>(context)->append(text, n);
}

}  // namespace

Console memoryConsole(std::string& text) { return {&text, appendToText}; }

CapturedRun::CapturedRun() { run.console = memoryConsole(console); }

ByteSink memorySink(MemorySink& sink) { return {&sink, writeToMemory}; }

ByteSource CountingInput::source() { return {this, countedRead, noError}; }

InMemoryConversion convertInMemory(std::string_view database, size_t readAhead, const OutputFormat& format) {
    ConversionOptions options;
    options.readAhead = readAhead;
    options.format = &format;
    return convertInMemory(database, options);
}

InMemoryConversion convertInMemory(std::string_view database, const ConversionOptions& options) {
    std::string bytes(database);
    MemoryInput input{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0};
    MemorySink sink;
    InMemoryConversion result;
    ConversionResult converted =
        convert(memorySource(input), memorySink(sink), memoryConsole(result.console), options);
    result.csv = sink.bytes;
    result.flags = converted.flags;
    result.recognised = converted.recognised;
    result.fatalLine = converted.fatalLine;
    result.datesOutOfRange = converted.datesOutOfRange;
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "catadump-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(std::string_view name, std::string_view bytes) const {
    std::string file = pathOf(name);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file);
    return file;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

namespace {

// A process that writes the bytes into the pipe and ends; a reader that stops early ends it too.
pid_t startFeeder(const std::string& bytes, int pipeEnds[2], bool slowly) {
    pid_t feeder = ::fork();
    if (feeder < 0) throw std::runtime_error("fork failed");
    if (feeder == 0) {
        ::close(pipeEnds[0]);
        size_t written = 0;
        while (written < bytes.size()) {
            size_t piece = bytes.size() - written;
            if (slowly) {
                piece = std::min<size_t>(piece, 1021);  // an odd size: pieces end at every kind of place
                ::usleep(200);
            }
            ssize_t put = ::write(pipeEnds[1], bytes.data() + written, piece);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) break;
            written += static_cast<size_t>(put);
        }
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    return feeder;
}

}  // namespace

ProgramRun runProgram(const std::vector<std::string>& arguments, size_t memoryBoundMiB,
                      const std::string* standardInput, bool nonBlockingInput) {
    std::vector<const char*> argv = {CATADUMP_BINARY};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    int pipeEnds[2];
    int inputEnds[2] = {-1, -1};
    if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    if (standardInput != nullptr && ::pipe(inputEnds) != 0) throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        int input = standardInput != nullptr ? inputEnds[0] : ::open("/dev/null", O_RDONLY);
        ::dup2(input, STDIN_FILENO);
        if (nonBlockingInput) ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
        if (standardInput != nullptr) {
            ::close(inputEnds[0]);
            ::close(inputEnds[1]);
        }
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        if (memoryBoundMiB > 0 && !sanitizedBuild) {
            rlimit limit{rlim_t{memoryBoundMiB} << 20, rlim_t{memoryBoundMiB} << 20};
            ::setrlimit(RLIMIT_AS, &limit);
        } else if (memoryBoundMiB > 0) {
            std::string bound =
                "max_allocation_size_mb=" + std::to_string(memoryBoundMiB) + ":allocator_may_return_null=1";
            const char* asan = std::getenv("ASAN_OPTIONS");
            ::setenv("ASAN_OPTIONS", (asan != nullptr ? std::string(asan) + ":" + bound : bound).c_str(), 1);
            ::setenv("TSAN_OPTIONS", bound.c_str(), 1);
        }
        ::execv(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    pid_t feeder = -1;
    if (standardInput != nullptr) {
        ::close(inputEnds[0]);
        feeder = startFeeder(*standardInput, inputEnds, nonBlockingInput);
    }
    ProgramRun run;
    // A program that hangs fails its test after a minute instead of holding up the whole suite.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char chunk[4096];
    for (;;) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            ADD_FAILURE() << "the program did not finish within a minute";
            break;
        }
        pollfd ready{pipeEnds[0], POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        ssize_t got = ::read(pipeEnds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        run.console.append(chunk, static_cast<size_t>(got));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    struct rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.maxResidentKiB = usage.ru_maxrss;
    if (feeder > 0) {
        ::kill(feeder, SIGKILL);  // a program that stopped reading early leaves it blocked
        while (::waitpid(feeder, &status, 0) < 0 && errno == EINTR) {
        }
    }
    return run;
}

FileConversion convertFile(const TempDir& directory, std::string_view database, const std::string& output) {
    FileConversion conversion;
    conversion.databasePath = directory.write("Quillseek.db", database);
    conversion.outputPath = output.empty() ? directory.pathOf("out.qlx") : output;
    ProgramRun run = runProgram({conversion.databasePath, conversion.outputPath});
    conversion.console = std::move(run.console);
    conversion.exitCode = run.exitCode;
    conversion.csv = readWholeFile(conversion.outputPath);
    return conversion;
}

FileConversion convertPiped(const TempDir& directory, const std::string& database, bool nonBlocking) {
    FileConversion conversion;
    conversion.databasePath = nonBlocking ? "-" : "/dev/stdin";
    conversion.outputPath = directory.pathOf("piped.qlx");
    ProgramRun run = runProgram({conversion.databasePath, conversion.outputPath}, 0, &database, nonBlocking);
    conversion.console = std::move(run.console);
    conversion.exitCode = run.exitCode;
    conversion.csv = readWholeFile(conversion.outputPath);
    return conversion;
}

std::string afterFileLines(const FileConversion& run) {
    std::string lines =
        run.databasePath + " opened for reading...\n" + run.outputPath + " created for writing...\n";
    EXPECT_EQ(run.console.substr(0, lines.size()), lines);
    return run.console.substr(std::min(lines.size(), run.console.size()));
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> result;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            result.emplace_back(text);
            break;
        }
        result.emplace_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    return result;
}

std::vector<std::string> csvRows(std::string_view csv) {
    std::vector<std::string> rows;
    while (!csv.empty()) {
        size_t end = csv.find("\r\n");
        size_t length = end == std::string_view::npos ? csv.size() : end + 2;
        rows.emplace_back(csv.substr(0, length));
        csv.remove_prefix(length);
    }
    return rows;
}

std::string consoleFrom(std::string_view console, std::string_view line) {
    size_t at = 0;
    while (!console.substr(at).starts_with(line)) {
        at = console.find('\n', at);
        if (at == std::string_view::npos) return {};
        ++at;
    }
    return std::string(console.substr(at));
}

std::string readerLines(std::string_view console) {
    for (int line = 0; line < 2; ++line) {
        size_t end = console.find('\n');
        if (end == std::string_view::npos) return std::string(console);
        console.remove_prefix(end + 1);
    }
    return std::string(console);
}

}  // namespace catadump::test
