#include "driver/run_conversion.h"

#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "driver/convert.h"
#include "driver/options.h"
#include "driver/progress.h"
#include "io/byte_source.h"
#include "output/csv_writer.h"
#include "platform/platform.h"

namespace catadump {

namespace {

const platform::PathRequest openRequest = {"Please select Quillseek.db", "Quillseek DB Files (*.db)", "*.db",
                                           "db", false};
const platform::PathRequest saveRequest = {"Save Database As...", "QLX Quillseek File List Files (*.qlx)",
                                           "*.qlx", "qlx", true};

// The final report, in its fixed order. True when it reports nothing wrong. "Encounted atleast" is
// misspelt on purpose: scripts match these lines as the program has always printed them.
bool reportFlags(Console& console, const RunFlags& flags) {
    if (flags.writeError) say(console, "Error: Encounted atleast one write error\n");
    if (flags.readError) say(console, "Error: Encounted atleast one read error\n");
    if (flags.corrupt) say(console, "Error: database corrupt\n");
    return !flags.writeError && !flags.readError && !flags.corrupt;
}

// What the progress display looks at while the conversion runs.
struct ProgressWatch {
    ProgressDisplay display;
    Terminal& terminal;
};

void drawProgress(void* context, uint64_t databaseBytes, uint64_t lines) {
    auto& watch = *static_cast<ProgressWatch*>(context);
    uint64_t rows = lines > 0 ? lines - 1 : 0;  // the header line is no row
    std::string line = progressLine(watch.display, databaseBytes, rows, ProgressClock::now());
    if (!line.empty()) showStatus(watch.terminal, line.c_str());
}

uint64_t sizeOfFile(const std::string& path) {
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

// The options of the program's conversion: the format, the decoder's threads and the progress display.
ConversionOptions programOptions(const ConversionPaths& paths, ProgressWatch& watch) {
    ConversionOptions options;
    if (platform::standardErrorIsTerminal()) {
        startProgress(watch.display, sizeOfFile(paths.database), ProgressClock::now());
        options.onProgress = drawProgress;
        options.progressContext = &watch;
    }
    options.decoderThreads = paths.threads;
    options.format = paths.format;
    options.dates = paths.dates;
    return options;
}

// Converts into the open output, then closes it; the exit code.
int convertIntoOutput(Terminal& terminal, const ConversionPaths& paths, platform::File database,
                      platform::File& output) {
    Console console = terminalConsole(terminal);
    ProgressWatch watch{{}, terminal};
    ConversionOptions options = programOptions(paths, watch);
    options.writing = CsvWriting::overlapped;
    // The second core goes to the output's writing, on the writer's thread, where the system copies every
    // byte (a file, a pipe, a terminal): that costs about as much as the formatting. Where nothing does (a
    // device such as /dev/null, as when a database is only checked), it goes to the formatting instead.
    options.formatThread = paths.threads != 1 && platform::isDeviceNotTerminal(output);
    FileOutput sinkFile;
    sinkFile.file = &output;
    sinkFile.emptyFirst = paths.output != standardStream;
    ConversionResult result = convert(fileSource(database), fileSink(sinkFile), console, options);
    clearStatus(terminal);
    if (result.outputClosed) {
        // The reader of the list has gone: nothing to report to it, and nothing more to convert for it.
        platform::closeFile(output);
        return exitOutputClosed;
    }
    if (result.fatalLine != nullptr) {
        // No report: the line alone, and what the output holds stays as the conversion left it.
        platform::closeFile(output);
        say(console, "%s", result.fatalLine);
        return exitFatal;
    }
    if (!platform::closeFile(output)) result.flags.writeError = true;
    bool clean = reportFlags(console, result.flags) && result.recognised;
    return clean ? exitSuccess : exitFailed;
}

// The console lines of a conversion as they go to the terminal, kept for the format's file.
struct KeptConsole {
    Console shown;
    std::string text;
};

void showAndKeep(void* context, const char* text, size_t n) {
    auto& kept = *static_cast<KeptConsole*>(context);
    kept.text.append(text, n);
    kept.shown.write(kept.shown.context, text, n);
}

// Converts with a format that makes the file itself (sqlite). It makes it under a name of its own beside the
// output, and the finished file then takes the output's place in one step: the output holds what it held
// before or the whole new file, never a part, and nothing else at or beside it is touched. A file the format
// could not write is removed, and is a write error in the report, which the format learns the run's outcome
// before. The exit code.
int convertIntoFile(Terminal& terminal, const ConversionPaths& paths, platform::File database) {
    Console console = terminalConsole(terminal);
    platform::Replacement replacement;
    if (!platform::createReplacement(paths.output, replacement, database)) {
        say(console, "Error: Could not open %s for writing.\n", paths.output.c_str());
        return exitFailed;
    }
    say(console, "%s created for writing...\n", paths.output.c_str());
    KeptConsole kept{console, {}};
    ProgressWatch watch{{}, terminal};
    ConversionOptions options = programOptions(paths, watch);
    // SQLite writes its file on the format's thread: reading and parsing go to the other core.
    options.formatThread = paths.threads != 1;
    options.formatContext = paths.format->openFile(replacement.temporary);
    ConversionResult result =
        convert(fileSource(database), discardingSink(), Console{&kept, showAndKeep}, options);
    clearStatus(terminal);
    RunOutcome outcome{result.recognised, result.flags, result.fatalLine, kept.text};
    bool written = paths.format->finishFile(options.formatContext, outcome);
    if (written) {
        written = platform::commitReplacement(replacement);
    } else {
        platform::discardReplacement(replacement);
    }
    if (!written) result.flags.writeError = true;
    if (result.fatalLine != nullptr) {
        say(console, "%s", result.fatalLine);
        return exitFatal;
    }
    bool clean = reportFlags(console, result.flags) && result.recognised;
    return clean ? exitSuccess : exitFailed;
}

}  // namespace

bool choosePaths(Console& console, ConversionPaths& paths) {
    say(console, "%s", usageLine);
    return platform::askForPath(openRequest, paths.database) &&
           platform::askForPath(saveRequest, paths.output);
}

int runConversion(Terminal& terminal, const ConversionPaths& paths) {
    // With the list on standard output, the console lines go to standard error.
    if (paths.output == standardStream) terminal.lines = stderr;
    Console console = terminalConsole(terminal);
    platform::File database;
    if (paths.database == standardStream) {
        database = platform::standardInputFile();
    } else if (!platform::openForSequentialRead(paths.database, database)) {
        say(console, "Error: Could not open %s for reading.\n", paths.database.c_str());
        return exitFailed;
    }
    say(console, "%s opened for reading...\n", paths.database.c_str());
    platform::File output;
    int exitCode = exitFailed;
    if (paths.output == standardStream) output = platform::standardOutputFile();
    if (paths.format->openFile != nullptr) {
        exitCode = convertIntoFile(terminal, paths, database);
    } else if (!output.isOpen() && !platform::createForWritingEmptiedLater(paths.output, output, database)) {
        say(console, "Error: Could not open %s for writing.\n", paths.output.c_str());
    } else {
        say(console, "%s created for writing...\n", paths.output.c_str());
        exitCode = convertIntoOutput(terminal, paths, database, output);
    }
    platform::closeFile(database);
    std::fflush(terminal.lines);
    return exitCode;
}

int catadumpMain(int argumentCount, const char* const* arguments) {
    // Before anything is opened: a file must not take the number of a closed standard stream.
    if (!platform::reserveStandardDescriptors()) return exitFatal;
    Terminal terminal;
    try {
        Console console = terminalConsole(terminal);
        CommandLine command = parseCommandLine(argumentCount, arguments);
        ConversionPaths paths{command.database, command.output, command.threads, command.format,
                              command.dates};
        switch (command.action) {
        case CommandLine::Action::help:
            std::fputs(helpText, stdout);
            return exitSuccess;
        case CommandLine::Action::version:
            std::fputs(versionText, stdout);
            return exitSuccess;
        case CommandLine::Action::usageError:
            std::fprintf(stderr, "%s\n%s", command.error.c_str(), optionsUsageLine);
            return exitUsage;
        case CommandLine::Action::choosePaths:
            if (!choosePaths(console, paths)) return exitCancelled;
            break;
        case CommandLine::Action::convert:
            break;
        }
        return runConversion(terminal, paths);
    } catch (const std::bad_alloc&) {
        // Memory ran out outside the conversion itself (the paths, the dialogs).
        Console console = terminalConsole(terminal);
        say(console, "Out of Memory\n");
        std::fflush(terminal.lines);
        return exitFatal;
    }
}

}  // namespace catadump
