// One run of catadump: the choice of the two paths, opening the database and creating the output, the
// dispatch, the final report and the exit code.
#pragma once

#include <string>

#include "driver/progress.h"
#include "formats/output_format.h"

namespace catadump {

// Exit codes. A run that converted and reported nothing wrong ends with 0; one that got past the choice of
// paths but met an error (files, unknown database, read/write errors, corruption) with 2; a cancelled
// choice of paths and the fatal conditions with 1.
// A usage error (of the options form, or an output that begins with "--") ends with 1 before anything is
// opened; a pipe on the output whose reader has gone ends the run at once with 141, the status a shell
// shows for a program that the closed pipe's signal ended.
enum ExitCode : int {
    exitSuccess = 0,
    exitCancelled = 1,
    exitFailed = 2,
    exitFatal = 1,
    exitUsage = 1,
    exitOutputClosed = 141
};

// What one conversion reads and writes; "-" is a standard stream.
struct ConversionPaths {
    std::string database;
    std::string output;
    unsigned threads = 0;  // bzip2 workers
    const OutputFormat* format = &qlxFormat();
    DateStyle dates = DateStyle::iso;
    std::string summary;  // where the database's provenance goes, as a line of JSON ("" nowhere)
    EntryFilter filter;
    bool recover = false;  // go on past damage, each row with its status (--recover)
};

inline constexpr const char* usageLine = "catadump <quillseek.db> <out.qlx>\n";

// Prints the usage line and asks for both paths. False when the choice was cancelled.
bool choosePaths(Console& console, ConversionPaths& paths);

// Converts the database into the output and reports; returns the exit code.
int runConversion(Terminal& terminal, const ConversionPaths& paths);

// The whole program, as main calls it.
int catadumpMain(int argumentCount, const char* const* arguments);

}  // namespace catadump
