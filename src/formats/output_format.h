// The output formats: each turns the entries a reader hands on into text for the writer (or a file of its
// own), as one small file and one row of the table in formats.cpp. A format is a sink for the entries:
// RowOutput is that sink, holding the writer, the chosen format and room the formats reuse from row to row.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "formats/entry_filter.h"
#include "formats/provenance.h"
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
    const char* fatalLine = nullptr;      // the line of the fatal condition that ended the run, if one did
    std::string_view console;             // the console lines the conversion printed
    std::span<const Provenance> sources;  // the inputs, in the order of their ids (1, 2, ...)
    bool ofMany = false;                  // the rows of many inputs: the facts hold no one version
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
    // With `withSource`, the file holds the rows of many inputs, each with its input (RowOutput::sourceId);
    // with `recover`, each row has its status (RowOutput::recover).
    void* (*openFile)(const std::string& path, bool withSource, bool recover) = nullptr;
    bool (*finishFile)(void* context, const RunOutcome& outcome) = nullptr;
    // The header line of a list that many databases share, each row led by its database's source
    // (RowOutput::withSource), written once by whoever makes that list: the format then writes no header
    // of its own. Null for a format without a header line. The same with the status column last, for a run
    // that recovers (RowOutput::recover).
    const char* sourceHeader = nullptr;
    const char* sourceHeaderWithStatus = nullptr;
};

// The header line of a list of many databases in the format (null for a format without one): with the
// status column when the rows have their status.
inline const char* sourceHeaderOf(const OutputFormat& format, bool recover) {
    return recover ? format.sourceHeaderWithStatus : format.sourceHeader;
}

// Where the records go: the writer, the chosen format and its settings, and room the formats reuse from
// row to row, so that no row allocates once the longest path has been seen. bindFormat makes it the sink
// of its format.
struct alignas(threadOwnedAlignment) RowOutput : EntrySink {
    CsvWriter* writer = nullptr;
    const OutputFormat* format = nullptr;
    DateStyle dates = DateStyle::iso;
    void* context = nullptr;  // for a format that hands the records on rather than write them
    uint32_t version = 0;     // the database's version word, set as the header is written
    // The columns the header announced, and whether a header came at all (before it, `columns` means
    // nothing): the versions without values have no dates.
    ColumnSet columns = ColumnSet::nameAndAttributes;
    bool headerSeen = false;
    // Each row led by the database it came from (for a list of many databases): `source` is its path as
    // bytes, which a format escapes once per database, as its header is written, into `sourceText`, the
    // text it puts before each row's path.
    bool withSource = false;
    std::string source;
    std::string sourceText;
    // The entries kept (set before bindFormat); the timeline also keeps each date by it.
    EntryFilter filter;
    // Dates past 9999-12-31 that a format with ISO dates only (the timeline) left out.
    uint64_t datesOutOfRange = 0;
    int64_t sourceId = 0;  // in a file of many inputs' rows: the row of the input's source
    // Each row with its entry's status (intact, recovered, partial), in a run that recovers a damaged
    // database: a last column or key, or in the bodyfile a note after the name of a row that is not intact.
    // Without it every format writes what it always has.
    bool recover = false;
    // Rows a format writes beyond one an entry kept (the timeline's events), less one for each kept entry
    // it writes none for: the rows of a list are the entries kept and this.
    int64_t rowsBeyondEntries = 0;
    uint64_t entriesLeftOut = 0;  // by the filter
    std::string path;
    std::string text;
    // A format may keep the text it made of a folder's path while files of that folder follow.
    uint32_t keptFolder = noFolder;
    std::string keptText;
    bool keptFlag = false;
};

inline RowOutput& rowOutput(EntrySink& sink) { return static_cast<RowOutput&>(sink); }

// Makes the output the sink of `format`: the header goes to the format's writeHeader, every entry to its
// writeEntry, or, with an active filter (set before), every kept entry.
void bindFormat(RowOutput& output, const OutputFormat& format);

// The formats: "qlx" (the list as it has always been written), "csv", "jsonl", "bodyfile", "timeline" (an
// event a date, as JSON Lines for timeline tools), and "sqlite" in a build with SQLite. Null for any other
// name.
const OutputFormat* findOutputFormat(std::string_view name);
const OutputFormat& qlxFormat();

}  // namespace catadump
