// What is known of one input of a run: where it came from, which bytes were converted (their count and
// SHA-256), what the conversion found and what it alone would have ended with. The summary file holds one
// line of it per input, and an sqlite list a row of its `sources` table; both use the same names.
#pragma once

#include <cstdint>
#include <string>

#include "io/run_context.h"
#include "model/entry.h"

namespace catadump {

struct Provenance {
    std::string path;    // the source: the path by which the input was found, "-" for standard input
    uint64_t size = 0;   // the bytes read from it
    std::string sha256;  // of those bytes, 64 hex digits; empty when not computed
    bool hasModified = false;
    uint64_t modified = 0;  // the file's last modification, as a file time (100 ns since 1601, UTC)
    bool versionKnown = false;
    uint32_t version = 0;  // the version word
    ColumnSet columns = ColumnSet::nameAndAttributes;
    uint64_t rows = 0;
    bool readError = false;
    bool corrupt = false;
    std::string fatal;  // the fatal line without its end, or empty
    int status = 0;     // the exit status this input alone would give
    std::string console;
    uint64_t datesOutOfRange = 0;  // dates past the year 9999, which gave no timeline event
    bool recover = false;          // the run recovered (--recover): its rows by status and its gaps
    RecoveryTotals recovery;
};

// "1.7.20" for the version word.
std::string versionLabel(uint32_t version);

// The input as one JSON object and LF: the keys path, size, sha256, mtime (ISO 8601 UTC, or null), version,
// header, rows, read_error, corrupt, fatal, status, console, dates_out_of_range, and for a run that
// recovered rows_intact, rows_recovered, rows_partial and gaps. Texts that are not UTF-8
// show U+FFFD for each byte that does not fit, and the path's exact bytes follow in "path_hex".
std::string summaryLine(const Provenance& input);

}  // namespace catadump
