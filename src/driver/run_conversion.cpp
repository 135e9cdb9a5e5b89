#include "driver/run_conversion.h"

#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "driver/collection.h"
#include "driver/convert.h"
#include "driver/inputs.h"
#include "driver/options.h"
#include "driver/progress.h"
#include "driver/summary.h"
#include "io/byte_source.h"
#include "output/csv_writer.h"
#include "platform/platform.h"

namespace catadump {

namespace {

const platform::PathRequest openRequest = {"Please select Quillseek.db", "Quillseek DB Files (*.db)", "*.db",
                                           "db", false};
const platform::PathRequest saveRequest = {"Save Database As...", "QLX Quillseek File List Files (*.qlx)",
                                           "*.qlx", "qlx", true};

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
    options.filter = paths.filter;
    options.recover = paths.recover;
    return options;
}

// Converts into the open output, then closes it; the exit code.
int convertIntoOutput(Terminal& terminal, const ConversionPaths& paths, DatabaseSide& side,
                      platform::File& output) {
    Console& console = side.console;
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
    ConversionResult& result = side.result;
    result = convert(side.source, fileSink(sinkFile), console, options);
    clearStatus(terminal);
    if (result.outputClosed) {
        // The reader of the list has gone: nothing to report to it, and nothing more to convert for it.
        platform::closeFile(output);
        return exitOutputClosed;
    }
    // After a fatal condition no report, only its line: what the output holds stays as the conversion left
    // it.
    if (!platform::closeFile(output) && result.fatalLine == nullptr) result.flags.writeError = true;
    Closing closing = closingOf(result, options);
    say(console, "%s", closing.lines.c_str());
    return closing.status;
}

// Converts with a format that makes the file itself (sqlite). It makes it under a name of its own beside the
// output, and the finished file then takes the output's place in one step: the output holds what it held
// before or the whole new file, never a part, and nothing else at or beside it is touched. A file the format
// could not write is removed, and is a write error in the report, which the format learns the run's outcome
// before. The exit code.
int convertIntoFile(Terminal& terminal, const ConversionPaths& paths, DatabaseSide& side) {
    Console& console = side.console;
    platform::Replacement replacement;
    if (!platform::createReplacement(paths.output, replacement, side.database)) {
        say(console, "Error: Could not open %s for writing.\n", paths.output.c_str());
        return exitFailed;
    }
    say(console, "%s created for writing...\n", paths.output.c_str());
    KeptConsole kept{console, {}};
    ProgressWatch watch{{}, terminal};
    ConversionOptions options = programOptions(paths, watch);
    // SQLite writes its file on the format's thread: reading and parsing go to the other core.
    options.formatThread = paths.threads != 1;
    options.formatContext = paths.format->openFile(replacement.temporary, false, paths.recover);
    ConversionResult& result = side.result;
    result = convert(side.source, discardingSink(), Console{&kept, showAndKeep}, options);
    clearStatus(terminal);
    completeProvenance(side);
    // The file's `sources` keeps the console with the lines that close it, as they are when the file is
    // written (where it is not, no file holds them).
    side.provenance.console += closingOf(result, options).lines;
    RunOutcome outcome;
    outcome.recognised = result.recognised;
    outcome.flags = result.flags;
    outcome.fatalLine = result.fatalLine;
    outcome.console = kept.text;
    outcome.sources = {&side.provenance, 1};
    bool written = paths.format->finishFile(options.formatContext, outcome);
    if (written) {
        written = platform::commitReplacement(replacement);
    } else {
        platform::discardReplacement(replacement);
    }
    if (!written && result.fatalLine == nullptr) result.flags.writeError = true;
    Closing closing = closingOf(result, options);
    say(console, "%s", closing.lines.c_str());
    return closing.status;
}

}  // namespace

bool choosePaths(Console& console, ConversionPaths& paths) {
    say(console, "%s", usageLine);
    return platform::askForPath(openRequest, paths.database) &&
           platform::askForPath(saveRequest, paths.output);
}

int runConversion(Terminal& terminal, const ConversionPaths& paths) {
    // With the list (or the summary) on standard output, the console lines go to standard error.
    if (paths.output == standardStream || paths.summary == standardStream) terminal.lines = stderr;
    Console shown = terminalConsole(terminal);
    // For the summary and a file's `sources`, the console lines are kept as they are shown, and the
    // database's bytes hashed.
    const bool summary = !paths.summary.empty();
    if (summary && (isOneOfTheInputs(paths.summary, {paths.database}) || paths.summary == paths.output)) {
        say(shown, "Error: the summary %s would replace the %s.\n", paths.summary.c_str(),
            paths.summary == paths.output ? "list" : "database");
        return exitFailed;
    }
    DatabaseSide side;
    side.provenanceWanted = summary || paths.format->openFile != nullptr;
    side.kept.shown = shown;
    side.console = side.provenanceWanted ? Console{&side.kept, showAndKeep} : shown;
    Provenance& provenance = side.provenance;
    provenance.path = paths.database;
    if (paths.database == standardStream) {
        side.database = platform::standardInputFile();
    } else if (!platform::openForSequentialRead(paths.database, side.database)) {
        say(side.console, "Error: Could not open %s for reading.\n", paths.database.c_str());
        provenance.status = exitFailed;
        provenance.console = side.kept.text;
        if (summary && !writeSummaryFile(paths.summary, {&provenance, 1})) {
            say(shown, "Error: Could not write the summary %s.\n", paths.summary.c_str());
        }
        return exitFailed;
    }
    if (paths.database != standardStream) noteModification(side.database, provenance);
    side.hashing.inner = fileSource(side.database);
    side.source = side.provenanceWanted ? hashingSource(side.hashing) : side.hashing.inner;
    // The hash on a core of its own where it can: the reading thread then only copies the bytes.
    if (side.provenanceWanted) hashOnItsOwnThread(side.hashing);
    say(side.console, "%s opened for reading...\n", paths.database.c_str());
    platform::File output;
    int exitCode = exitFailed;
    if (paths.output == standardStream) output = platform::standardOutputFile();
    bool writeError = false;
    if (paths.format->openFile != nullptr) {
        exitCode = convertIntoFile(terminal, paths, side);
    } else if (!output.isOpen() &&
               !platform::createForWritingEmptiedLater(paths.output, output, side.database)) {
        say(side.console, "Error: Could not open %s for writing.\n", paths.output.c_str());
        writeError = true;
    } else {
        say(side.console, "%s created for writing...\n", paths.output.c_str());
        exitCode = convertIntoOutput(terminal, paths, side, output);
    }
    if (summary && exitCode != exitOutputClosed) {
        if (writeError) side.result.flags.writeError = true;
        completeProvenance(side);
        provenance.status = exitCode;  // now with the output's own outcome
        provenance.console = side.kept.text;
        if (!writeSummaryFile(paths.summary, {&provenance, 1})) {
            say(shown, "Error: Could not write the summary %s.\n", paths.summary.c_str());
            if (exitCode == exitSuccess) exitCode = exitFailed;
        }
    }
    platform::closeFile(side.database);
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
        ConversionPaths paths{command.database, command.output,  command.threads, command.format,
                              command.dates,    command.summary, command.filter,  command.recover};
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
            if (command.form != CommandLine::Form::single) return runCollection(terminal, command);
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
