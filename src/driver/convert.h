// The conversion as one call: a database from a byte source, its rows into a byte sink, its console lines
// to a console. The program, the tests and the fuzzer all convert through here; the program alone opens
// files, draws progress, prints the final report and turns the result into an exit code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/output_format.h"
#include "input/database_stream.h"
#include "io/byte_source.h"
#include "io/run_context.h"
#include "output/csv_writer.h"

namespace catadump {

struct ConversionOptions {
    CsvWriting writing = CsvWriting::plain;
    size_t readAhead = defaultReadAhead;
    // Threads of the bzip2 decoder: 0 one per core, 1 the single-threaded filter only.
    unsigned decoderThreads = 0;
    // Formats on a thread of its own while this one reads (the same bytes and lines either way).
    bool formatThread = false;
    // Reads the source as bzip2 data from its first byte, as a wrapped database is read once the dispatch
    // has seen its signature (the fuzzer compares both ways).
    bool decompressFromStart = false;
    // Told about every megabyte the database gives, with the bytes read so far and the line ends written.
    void (*onProgress)(void* context, uint64_t databaseBytes, uint64_t linesWritten) = nullptr;
    void* progressContext = nullptr;
    // The format of the list, and its dates where it has a choice.
    const OutputFormat* format = &qlxFormat();
    DateStyle dates = DateStyle::iso;
    void* formatContext = nullptr;  // handed to the format with each record
    // Each row led by the database's source, its path as bytes, for a list of many databases (the csv,
    // jsonl, bodyfile and timeline formats): the csv format then writes no header of its own, as the list
    // has one for all of them (OutputFormat::sourceHeader).
    bool withSource = false;
    std::string source;
    int64_t sourceId = 0;  // in a format's file of many inputs (sqlite): the row of the input's source
    // The entries listed: all of them by default.
    EntryFilter filter;
    // Recovery of a damaged database (RunContext::recover), and every row with its status.
    bool recover = false;
    // How the run starts its threads (the bzip2 workers, the writer's); tests refuse some.
    ThreadStarter startThread = startSystemThread;
};

struct ConversionResult {
    bool recognised = false;  // the signature and the version were known
    RunFlags flags;
    const char* fatalLine = nullptr;  // the fatal condition that ended the run, if one did
    bool outputClosed = false;        // the output was a pipe whose reader went away: the run ended there
    // What the format saw: whether a header came and its columns (the versions without values have no
    // dates), the database's version word, the dates it left out as past the year 9999, and the rows it
    // wrote (the entries the reader handed on, less those the filter left out, with the timeline's events).
    bool headerSeen = false;
    uint32_t version = 0;
    ColumnSet columns = ColumnSet::nameAndAttributes;
    uint64_t datesOutOfRange = 0;
    uint64_t rows = 0;
    // With recover: the rows by status and the gaps, as the reader counted them.
    bool recover = false;
    RecoveryTotals recovery;
};

// Converts the whole database and flushes the output. A fatal condition ends the conversion where it is
// met: the output then holds what the 64 KiB buffer had written out, no more, and the caller prints the
// line instead of a report. Running out of memory is the fatal condition "Out of Memory".
ConversionResult convert(ByteSource source, ByteSink sink, Console console,
                         const ConversionOptions& options = {});

}  // namespace catadump
