// The provenance of a run's inputs: filled in from the file and from what its conversion found, and written
// as the summary file, one line of JSON per input.
#pragma once

#include <span>
#include <string>

#include "driver/convert.h"
#include "formats/provenance.h"
#include "io/byte_source.h"
#include "platform/platform.h"

namespace catadump {

// The console lines of a conversion as they are shown, kept for the provenance and the format's file.
struct KeptConsole {
    Console shown;
    std::string text;
};
void showAndKeep(void* context, const char* text, size_t n);

// The database's side of a run: the file, the source its bytes are read through, the console of the run,
// what the conversion found and, where it is wanted, the database's provenance.
struct DatabaseSide {
    platform::File database;
    ByteSource source;
    Console console;
    ConversionResult result;
    bool provenanceWanted = false;  // for the summary or a file's `sources`: the bytes are hashed
    HashingInput hashing;
    KeptConsole kept;
    Provenance provenance;
    bool provenanceDone = false;
};

// The file's last modification, when it is a regular file.
void noteModification(platform::File file, Provenance& input);

// What the conversion found: the version, the rows, the flags and the fatal line.
void recordConversion(Provenance& input, const ConversionResult& result);

// Completes the provenance once the conversion is over (once; nothing when it is not wanted): the rest of
// the database read for its hash, what the conversion found, the status it gives before its output is
// finished, and the console lines kept so far.
void completeProvenance(DatabaseSide& side);

// The lines that close a conversion's console, and the exit status they stand for: the fatal line alone;
// or a note where a version without dates leaves the list nothing (the timeline has no events, a filter by
// dates keeps nothing), then the report of the run's flags in its fixed order.
struct Closing {
    std::string lines;
    int status = 0;
};
Closing closingOf(const ConversionResult& result, const ConversionOptions& options);

// Writes the lines of the inputs to the file ("-": standard output); false when that failed.
bool writeSummaryFile(const std::string& path, std::span<const Provenance> inputs);

}  // namespace catadump
