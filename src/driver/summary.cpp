#include "driver/summary.h"

#include "driver/options.h"
#include "driver/run_conversion.h"

namespace catadump {

void showAndKeep(void* context, const char* text, size_t n) {
    auto& kept = *static_cast<KeptConsole*>(context);
    kept.text.append(text, n);
    kept.shown.write(kept.shown.context, text, n);
}

void noteModification(platform::File file, Provenance& input) {
    platform::FileFacts facts;
    if (!platform::fileFacts(file, facts) || !facts.regular) return;
    // Nanoseconds since 1970 as 100 ns ticks since 1601.
    constexpr int64_t unixEpochTicks = 116444736000000000;
    int64_t ticks = facts.modifiedUnixNanoseconds / 100 + unixEpochTicks;
    input.hasModified = ticks >= 0;
    input.modified = ticks >= 0 ? static_cast<uint64_t>(ticks) : 0;
}

void recordConversion(Provenance& input, const ConversionResult& result) {
    input.versionKnown = result.headerSeen;
    input.version = result.version;
    input.columns = result.columns;
    input.rows = result.rows;
    input.datesOutOfRange = result.datesOutOfRange;
    input.recover = result.recover;
    input.recovery = result.recovery;
    input.readError = result.flags.readError;
    input.corrupt = result.flags.corrupt;
    if (result.fatalLine != nullptr) {
        input.fatal = result.fatalLine;
        if (input.fatal.ends_with('\n')) input.fatal.pop_back();
    }
}

void completeProvenance(DatabaseSide& side) {
    if (!side.provenanceWanted || side.provenanceDone) return;
    side.provenanceDone = true;
    Provenance& input = side.provenance;
    readRestForHash(side.hashing);
    input.sha256 = side.hashing.hash.finish();
    input.size = side.hashing.bytes;
    recordConversion(input, side.result);
    const RunFlags& flags = side.result.flags;
    bool clean = side.result.recognised && !flags.readError && !flags.corrupt && !flags.writeError;
    input.status = side.result.fatalLine != nullptr ? exitFatal : clean ? exitSuccess : exitFailed;
    input.console = side.kept.text;
}

namespace {

std::string datelessNote(const ConversionResult& result, const ConversionOptions& options) {
    if (!result.headerSeen || result.columns != ColumnSet::nameAndAttributes) return {};
    std::string version = "Version " + versionLabel(result.version) + " has no dates: ";
    if (std::string_view(options.format->name) == "timeline") return version + "the timeline has no events\n";
    if (options.filter.dated) return version + "the filter by dates keeps no entry\n";
    return {};
}

}  // namespace

// "Encounted atleast" is misspelt on purpose: scripts match these lines as the program has always printed
// them.
Closing closingOf(const ConversionResult& result, const ConversionOptions& options) {
    if (result.fatalLine != nullptr) return {result.fatalLine, exitFatal};
    Closing closing{datelessNote(result, options), exitSuccess};
    const RunFlags& flags = result.flags;
    if (flags.writeError) closing.lines += "Error: Encounted atleast one write error\n";
    if (flags.readError) closing.lines += "Error: Encounted atleast one read error\n";
    if (flags.corrupt) closing.lines += "Error: database corrupt\n";
    bool clean = !flags.writeError && !flags.readError && !flags.corrupt && result.recognised;
    closing.status = clean ? exitSuccess : exitFailed;
    return closing;
}

bool writeSummaryFile(const std::string& path, std::span<const Provenance> inputs) {
    platform::File file;
    if (path == standardStream) {
        file = platform::standardOutputFile();
    } else if (!platform::createForWriting(path, file)) {
        return false;
    }
    bool written = true;
    for (const Provenance& input : inputs) {
        std::string line = summaryLine(input);
        written = platform::writeFile(file, line.data(), line.size()) && written;
    }
    if (path != standardStream) written = platform::closeFile(file) && written;
    return written;
}

}  // namespace catadump
