#include "driver/run_conversion.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <new>

#include "driver/dispatch.h"
#include "driver/progress.h"
#include "platform/platform.h"
#include "stream/byte_source.h"
#include "stream/console.h"
#include "stream/csv_writer.h"
#include "stream/database_stream.h"
#include "stream/run_flags.h"

namespace catadump {

namespace {

const platform::PathRequest openRequest = {"Please select Quillseek.db", "Quillseek DB Files (*.db)", "*.db",
                                           "db", false};
const platform::PathRequest saveRequest = {"Save Database As...", "QLX Quillseek File List Files (*.qlx)",
                                           "*.qlx", "qlx", true};

// Flushes and closes the output, then prints the final report in its fixed order.
bool finishAndReport(CsvWriter* writer, platform::File& output) {
    if (writer != nullptr) {
        flush(*writer);
        if (!platform::closeFile(output)) runFlags().writeError = true;
    }
    const RunFlags& flags = runFlags();
    if (flags.writeError) say("Error: Encounted atleast one write error\n");
    if (flags.readError) say("Error: Encounted atleast one read error\n");
    if (flags.corrupt) say("Error: database corrupt\n");
    return !flags.writeError && !flags.readError && !flags.corrupt;
}

void endOfMemory() { fatal("Out of Memory\n"); }

// What the progress display looks at while the conversion runs.
struct ProgressWatch {
    ProgressDisplay display;
    DatabaseStream* stream;
    CsvWriter* writer;
};

void drawProgress(void* context) {
    auto& watch = *static_cast<ProgressWatch*>(context);
    uint64_t lines = watch.writer->linesWritten.load(std::memory_order_relaxed);
    std::string line = progressLine(watch.display, databaseBytesRead(*watch.stream), lines > 0 ? lines - 1 : 0,
                                    ProgressClock::now());
    if (!line.empty()) showStatus(line.c_str());
}

uint64_t sizeOfFile(const std::string& path) {
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

} // namespace

bool choosePaths(int argumentCount, const char* const* arguments, ConversionPaths& paths) {
    if (argumentCount == 3) {
        paths.database = arguments[1];
        paths.output = arguments[2];
        return true;
    }
    say("%s", usageLine);
    return platform::askForPath(openRequest, paths.database) &&
           platform::askForPath(saveRequest, paths.output);
}

int runConversion(const ConversionPaths& paths) {
    platform::File database;
    if (!platform::openForSequentialRead(paths.database, database)) {
        say("Error: Could not open %s for reading.\n", paths.database.c_str());
        return exitFailed;
    }
    say("%s opened for reading...\n", paths.database.c_str());
    DatabaseStream stream;
    openDatabaseStream(stream, fileSource(database));

    platform::File output;
    bool clean = false;
    if (!platform::createForWritingEmptiedLater(paths.output, output, database)) {
        say("Error: Could not open %s for writing.\n", paths.output.c_str());
        finishAndReport(nullptr, output);
    } else {
        CsvWriter writer;
        openCsvWriter(writer, fileSink(output), CsvWriting::overlapped);
        say("%s created for writing...\n", paths.output.c_str());
        ProgressWatch watch{{}, &stream, &writer};
        if (platform::standardErrorIsTerminal()) {
            startProgress(watch.display, sizeOfFile(paths.database), ProgressClock::now());
            writer.countLines = true;
            stream.onRefill = drawProgress;
            stream.refillContext = &watch;
        }
        bool recognised = dispatchDatabase(stream, writer);
        stream.onRefill = nullptr;
        clearStatus();
        clean = finishAndReport(&writer, output) && recognised;
    }
    platform::closeFile(database);
    std::fflush(stdout);
    return clean ? exitSuccess : exitFailed;
}

int catadumpMain(int argumentCount, const char* const* arguments) {
    std::set_new_handler(endOfMemory);
    ConversionPaths paths;
    if (!choosePaths(argumentCount, arguments, paths)) return exitCancelled;
    return runConversion(paths);
}

} // namespace catadump
