// The output formats: each turns the entries a reader hands on into text for the writer (or a file of its
// own), as one small file and one row of the table in formats.cpp. A format is a sink for the entries:
// RowOutput is that sink, holding the writer, the chosen format and room the formats reuse from row to row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "io/run_context.h"
#include "model/entry.h"
#include "output/csv_writer.h"

namespace catadump {

enum class DateStyle { iso, filetime };

struct RowOutput;

// How a run ended, for a format that records it in the file it makes.
struct RunOutcome {
    bool recognised = false;
    RunFlags flags;
    const char* fatalLine = nullptr;  // the line of the fatal condition that ended the run, if one did
    std::string_view console;         // the console lines the conversion printed
};

struct OutputFormat {
    const char* name;
    void (*writeHeader)(RowOutput& output, ColumnSet columns);
    // Called for every entry with the RowOutput as the sink (rowOutput() gives it back): straight from the
    // reader, with no call in between.
    void (*writeEntry)(EntrySink& output, FolderTable& table, const Entry& entry);
    // Only for a format that makes a file of its own at a named path rather than hand bytes to the writer
    // (null for the byte formats, which can also go to standard output). openFile takes the new, empty file
    // that the program made at the path for it and returns the context the records are handed with
    // (RowOutput::context); it never fails, a file that cannot be written is reported by finishFile.
    // finishFile completes the file with the run's outcome and releases the context; false when the file
    // could not be written (the program then removes it).
    void* (*openFile)(const std::string& path) = nullptr;
    bool (*finishFile)(void* context, const RunOutcome& outcome) = nullptr;
};

// Where the records go: the writer, the chosen format and its settings, and room the formats reuse from
// row to row, so that no row allocates once the longest path has been seen. bindFormat makes it the sink
// of its format.
struct alignas(threadOwnedAlignment) RowOutput : EntrySink {
    CsvWriter* writer = nullptr;
    const OutputFormat* format = nullptr;
    DateStyle dates = DateStyle::iso;
    void* context = nullptr;  // for a format that hands the records on rather than write them
    uint32_t version = 0;     // the database's version word, set as the header is written
    std::string path;
    std::string text;
    // A format may keep the text it made of a folder's path while files of that folder follow.
    uint32_t keptFolder = noFolder;
    std::string keptText;
    bool keptFlag = false;
};

inline RowOutput& rowOutput(EntrySink& sink) { return static_cast<RowOutput&>(sink); }

// Makes the output the sink of `format`: the header goes to the format's writeHeader, every entry to its
// writeEntry.
void bindFormat(RowOutput& output, const OutputFormat& format);

// The formats: "qlx" (the list as it has always been written), "csv", "jsonl", "bodyfile", and "sqlite" in
// a build with SQLite. Null for any other name.
const OutputFormat* findOutputFormat(std::string_view name);
const OutputFormat& qlxFormat();

}  // namespace catadump
