// What the readers hand to the output: one record per folder and per file, in the order the list has
// them, and the output format that turns each into text. The readers know nothing of the formats; a format
// is one small file and one row of the table in formats.cpp.
//
// A record names the pieces of its path rather than carrying the path: the folder table builds and keeps
// folder paths, so the list format copies a kept path straight into the writer's buffer with no work per
// row, and a format that must look at every byte (to escape it) asks for the whole path with entryPath.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "readers/folder_graph.h"
#include "stream/csv_writer.h"
#include "stream/run_context.h"

namespace catadump {

// Versions up to 1.7.8 have the name and the attributes; later ones the name and five value columns.
enum class ColumnSet { nameAndAttributes, withValues };

// The list's header line for the columns, without its line end.
const char* headerLineText(ColumnSet columns);

// The five value columns of the later versions. Dates are Windows file times: 100-nanosecond intervals
// since 1601-01-01 UTC, 0 when not set.
struct RowValues {
    uint64_t size = 0;
    uint64_t dateCreated = 0;
    uint64_t dateModified = 0;
    uint64_t dateAccessed = 0;
    uint32_t attributes = 0;
};

enum class EntryKind { folder, file };

struct Entry {
    EntryKind kind = EntryKind::file;
    // A folder's own index; for a file, the folder it is in (noFolder: it hangs from a filesystem).
    uint32_t folder = noFolder;
    std::string_view name;             // a file's name as shown; a folder's is in the table
    const RowValues* values = nullptr;  // null for the versions without value columns
};

// The attributes column of the versions without values: 16 (the folder bit) for a folder, 0 for a file.
inline uint32_t entryAttributes(const Entry& entry) {
    if (entry.values != nullptr) return entry.values->attributes;
    return entry.kind == EntryKind::folder ? 16 : 0;
}

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
    void (*writeEntry)(RowOutput& output, FolderTable& table, const Entry& entry);
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
// row to row, so that no row allocates once the longest path has been seen.
struct RowOutput {
    CsvWriter* writer = nullptr;
    const OutputFormat* format = nullptr;
    DateStyle dates = DateStyle::iso;
    void* context = nullptr;  // for a format that hands the records on rather than write them
    uint32_t version = 0;     // the database's version word, set before the header
    std::string path;
    std::string text;
    // A format may keep the text it made of a folder's path while files of that folder follow.
    uint32_t keptFolder = noFolder;
    std::string keptText;
    bool keptFlag = false;
};

inline void writeHeader(RowOutput& output, ColumnSet columns) { output.format->writeHeader(output, columns); }

inline void writeEntry(RowOutput& output, FolderTable& table, const Entry& entry) {
    output.format->writeEntry(output, table, entry);
}

// The entry's whole path into `path` (replacing what it held): the folders from the top down, each with a
// backslash after it, then the name.
void entryPath(FolderTable& table, const Entry& entry, std::string& path);

// The formats: "qlx" (the list as it has always been written), "csv", "jsonl", "bodyfile", and "sqlite" in
// a build with SQLite. Null for any other name.
const OutputFormat* findOutputFormat(std::string_view name);
const OutputFormat& qlxFormat();

} // namespace catadump
