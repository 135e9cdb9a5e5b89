#include "driver/collection.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/convert.h"
#include "driver/inputs.h"
#include "driver/ordered_output.h"
#include "driver/run_conversion.h"
#include "driver/summary.h"
#include "formats/provenance.h"
#include "io/byte_source.h"
#include "readers/dispatch.h"

namespace catadump {

namespace {

namespace fs = std::filesystem;

using Form = CommandLine::Form;

// One input's conversion: what the console line and the summary say of it.
struct InputRun {
    Provenance provenance;
    std::string line;      // its console line
    bool skipped = false;  // a file found in a folder whose content is no database
    bool done = false;
    size_t clashesWith = SIZE_MAX;  // the earlier input whose list would have the same path
};

// The file of a format that makes its own (sqlite), made under a name of its own until finished.
struct OwnFile {
    platform::Replacement replacement;
    void* context = nullptr;
};

struct Collection {
    Collection(const CommandLine& line, Terminal& console) : command(line), terminal(console) {}
    const CommandLine& command;
    Terminal& terminal;
    FoundInputs found;
    std::vector<InputRun> runs;
    unsigned jobs = 1;  // inputs converted at once
    unsigned cores = 1;
    bool formatThread = false;  // one input at a time into a device: the format on its own thread
    bool hash = false;          // the provenance is wanted: every input's bytes are hashed
    OrderedOutput ordered;      // the list of -o
    OwnFile sharedFile;         // the list of -o in a format that makes its own file (sqlite)
    size_t sourcesSeen = 0;     // the inputs done that were no skipped files (under the lock)
    std::atomic<size_t> nextInput{0};
    std::atomic<bool> stop{false};  // the list's pipe has closed: nothing more is converted

    // Under the lock: the console, in input order, and the progress line.
    std::mutex lock;
    size_t nextReported = 0;
    size_t inputsDone = 0;
    uint64_t rows = 0;
    std::atomic<uint64_t> bytesRead{0};
    bool progress = false;
    ProgressClock::time_point started;
    ProgressClock::time_point lastDrawn;
};

std::string plural(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The input's console line: its source, version, rows, and what went wrong.
std::string inputLine(const Provenance& input, bool opened, const std::string& problem) {
    std::string line = input.path + ": ";
    if (!opened) return line + problem + "\n";
    if (input.versionKnown) {
        line += versionLabel(input.version) + ", " + plural(input.rows, "row", "rows");
    } else {
        line += "not a database of a known version";
    }
    if (!problem.empty()) line += ", " + problem;
    return line + "\n";
}

// What went wrong, as the console line says it; empty for a clean conversion.
std::string problemsOf(const ConversionResult& result) {
    std::string problems;
    auto add = [&](const std::string& what) { problems += (problems.empty() ? "" : ", ") + what; };
    if (result.fatalLine != nullptr) {
        std::string line = result.fatalLine;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        add(line);
    }
    if (result.flags.writeError) add("write error");
    if (result.flags.readError) add("read error");
    if (result.flags.corrupt) add("database corrupt");
    return problems;
}

void drawProgress(Collection& collection) {
    if (!collection.progress) return;
    auto now = ProgressClock::now();
    if (now - collection.started < progressFirstDelay || now - collection.lastDrawn < progressInterval)
        return;
    collection.lastDrawn = now;
    double seconds = std::chrono::duration<double>(now - collection.started).count();
    double rate = seconds > 0 ? static_cast<double>(collection.bytesRead.load()) / 1e6 / seconds : 0;
    char line[160];
    std::snprintf(line, sizeof line, "%zu of %zu inputs, %llu rows, %.1f MB/s", collection.inputsDone,
                  collection.runs.size(), static_cast<unsigned long long>(collection.rows), rate);
    showStatus(collection.terminal, line);
}

// Prints the lines of the inputs that are done, in input order, as far as every earlier one is.
void reportDone(Collection& collection, size_t index) {
    std::lock_guard<std::mutex> guard(collection.lock);
    InputRun& run = collection.runs[index];
    run.done = true;
    ++collection.inputsDone;
    if (!run.skipped) ++collection.sourcesSeen;
    collection.rows += run.provenance.rows;
    bool printed = false;
    for (; collection.nextReported < collection.runs.size() && collection.runs[collection.nextReported].done;
         ++collection.nextReported) {
        const InputRun& next = collection.runs[collection.nextReported];
        if (next.skipped || collection.stop.load()) continue;
        if (!printed) clearStatus(collection.terminal);
        printed = true;
        if (collection.command.verbose)
            std::fputs(next.provenance.console.c_str(), collection.terminal.lines);
        std::fputs(next.line.c_str(), collection.terminal.lines);
    }
    if (printed) std::fflush(collection.terminal.lines);
    drawProgress(collection);
}

struct JobProgress {
    Collection& collection;
    uint64_t counted = 0;  // of this input's bytes, those added to the collection's count
};

void onJobProgress(void* context, uint64_t databaseBytes, uint64_t) {
    auto& job = *static_cast<JobProgress*>(context);
    job.collection.bytesRead.fetch_add(databaseBytes - job.counted);
    job.counted = databaseBytes;
    std::unique_lock<std::mutex> guard(job.collection.lock, std::try_to_lock);
    if (guard.owns_lock()) drawProgress(job.collection);
}

// The bzip2 workers of input `index`: about one thread a core in all, shared out among the inputs that
// can still run at once (the last inputs, converted alongside fewer others, get more).
unsigned decoderThreadsFor(const Collection& collection, size_t index) {
    if (collection.command.threads != 0) return collection.command.threads;
    size_t alongside = std::min<size_t>(collection.jobs, collection.runs.size() - index);
    if (alongside <= 1) return 0;  // one per core
    return std::max(1u, collection.cores / static_cast<unsigned>(alongside));
}

ConversionOptions jobOptions(Collection& collection, JobProgress& progress, size_t index) {
    ConversionOptions options;
    options.format = collection.command.format;
    options.dates = collection.command.dates;
    options.filter = collection.command.filter;
    options.recover = collection.command.recover;
    options.decoderThreads = decoderThreadsFor(collection, index);
    options.formatThread = collection.formatThread;
    options.writing = collection.formatThread ? CsvWriting::overlapped : CsvWriting::plain;
    if (collection.progress) {
        options.onProgress = onJobProgress;
        options.progressContext = &progress;
    }
    return options;
}

std::string outputPathFor(const Collection& collection, const FoundInput& input) {
    fs::path below(input.below);
    fs::path folder = fs::path(collection.command.output) / below.parent_path();
    std::string name = below.filename().string();
    return (folder / listNameFor(name, *collection.command.format)).string();
}

// Makes the file at `path`, its rows with their status when the run recovers.
bool openOwnFile(const CommandLine& command, const std::string& path, bool withSource, OwnFile& file,
                 platform::File beingRead = {}) {
    if (!platform::createReplacement(path, file.replacement, beingRead)) return false;
    file.context = command.format->openFile(file.replacement.temporary, withSource, command.recover);
    return true;
}

// Finishes the file with the outcome and puts it in place; false when it could not be written.
bool finishOwnFile(const OutputFormat& format, OwnFile& file, const RunOutcome& outcome) {
    if (format.finishFile(file.context, outcome)) return platform::commitReplacement(file.replacement);
    platform::discardReplacement(file.replacement);
    return false;
}

// Converts into the input's own list (--output-dir). A list that could not be made or written is a write
// error of the input's.
void convertIntoOwnList(Collection& collection, const FoundInput& input, DatabaseSide& side,
                        ConversionOptions& options) {
    const OutputFormat& format = *collection.command.format;
    std::string path = outputPathFor(collection, input);
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    ConversionResult& result = side.result;
    if (format.openFile != nullptr) {
        OwnFile file;
        if (!openOwnFile(collection.command, path, false, file, side.database)) {
            say(side.console, "Error: Could not open %s for writing.\n", path.c_str());
            result.flags.writeError = true;
            return;
        }
        say(side.console, "%s created for writing...\n", path.c_str());
        options.formatContext = file.context;
        size_t consoleStart = side.kept.text.size();
        result = convert(side.source, discardingSink(), side.console, options);
        completeProvenance(side);
        RunOutcome outcome;
        outcome.recognised = result.recognised;
        outcome.flags = result.flags;
        outcome.fatalLine = result.fatalLine;
        outcome.console = std::string_view(side.kept.text).substr(consoleStart);
        side.provenance.console += closingOf(result, options).lines;  // as the single form's file keeps it
        outcome.sources = {&side.provenance, 1};
        if (!finishOwnFile(format, file, outcome)) result.flags.writeError = true;
        return;
    }
    platform::File output;
    if (!platform::createForWritingEmptiedLater(path, output, side.database)) {
        say(side.console, "Error: Could not open %s for writing.\n", path.c_str());
        result.flags.writeError = true;
        return;
    }
    say(side.console, "%s created for writing...\n", path.c_str());
    FileOutput sinkFile;
    sinkFile.file = &output;
    result = convert(side.source, fileSink(sinkFile), side.console, options);
    if (!platform::closeFile(output)) result.flags.writeError = true;
}

// Whether writing the file at `path` would empty one of the inputs found: an operand, or a database found in
// a folder. A file found in a folder that is no database (the list of an earlier run, say) is no input:
// it is taken off the inputs, and written over as the run was asked to.
bool writingWouldEmptyAnInput(const std::string& path, FoundInputs& found) {
    std::error_code error;
    if (!fs::exists(path, error)) return false;
    for (auto it = found.inputs.begin(); it != found.inputs.end(); ++it) {
        if (it->standardInput || !it->problem.empty() || !fs::equivalent(path, it->source, error)) continue;
        if (!it->inFolder) return true;
        platform::File file;
        std::vector<uint8_t> taken;
        bool database = platform::openForSequentialRead(it->source, file);
        database = database && startsAsDatabase(fileSource(file), taken);
        platform::closeFile(file);
        if (database) return true;
        found.inputs.erase(it);
        return false;
    }
    return false;
}

// In --output-dir, an input whose list would have the path of an earlier input's list (two operands of the
// same name) gets none: the later one is an error rather than a list written over.
void findClashingLists(Collection& collection) {
    std::map<std::string, size_t> firstFor;
    for (size_t index = 0; index < collection.runs.size(); ++index) {
        const FoundInput& input = collection.found.inputs[index];
        if (!input.problem.empty()) continue;
        auto [first, added] = firstFor.emplace(outputPathFor(collection, input), index);
        if (!added) collection.runs[index].clashesWith = first->second;
    }
}

void keepNothing(void*, const char*, size_t) {}

// Passes the input's turn on without converting it.
void passOver(Collection& collection, size_t index, bool skipped) {
    collection.runs[index].skipped = skipped;
    if (!collection.ordered.parts.empty()) finishOrderedPart(collection.ordered, index);
    reportDone(collection, index);
}

// Converts one input and records what it found. Every input passes through here once, whatever happens
// to it, so that the list's turn passes on and the console reaches it.
void convertInput(Collection& collection, size_t index) {
    const FoundInput& input = collection.found.inputs[index];
    InputRun& run = collection.runs[index];
    const bool combined = collection.command.form == Form::combined;
    DatabaseSide side;
    side.provenanceWanted = collection.hash;
    side.kept.shown = Console{nullptr, keepNothing};
    side.console = Console{&side.kept, showAndKeep};
    Provenance& provenance = side.provenance;
    provenance.path = input.source;
    auto finish = [&](const std::string& line) {
        run.line = line;
        run.provenance = std::move(provenance);
        passOver(collection, index, false);
    };
    if (!input.problem.empty()) {
        provenance.status = exitFailed;
        provenance.console = "Error: " + input.problem + "\n";
        finish(inputLine(provenance, false, input.problem));
        return;
    }
    if (input.standardInput) {
        side.database = platform::standardInputFile();
    } else if (!platform::openForSequentialRead(input.source, side.database)) {
        provenance.status = exitFailed;
        provenance.console = "Error: Could not open " + input.source + " for reading.\n";
        finish(inputLine(provenance, false, "could not open it for reading"));
        return;
    }
    if (!input.standardInput) noteModification(side.database, provenance);
    side.hashing.inner = fileSource(side.database);
    ByteSource source = side.provenanceWanted ? hashingSource(side.hashing) : side.hashing.inner;
    // One input at a time, the hash goes to a core of its own; with more, every core has an input already.
    if (side.provenanceWanted && collection.jobs == 1) hashOnItsOwnThread(side.hashing);
    std::vector<uint8_t> taken;
    if (input.inFolder && !startsAsDatabase(source, taken)) {
        // Not a database: passed over, and not an input of the run.
        platform::closeFile(side.database);
        passOver(collection, index, true);
        return;
    }
    if (run.clashesWith != SIZE_MAX) {
        platform::closeFile(side.database);
        const std::string& earlier = collection.found.inputs[run.clashesWith].source;
        provenance.status = exitFailed;
        provenance.console =
            "Error: the list of " + input.source + " would replace that of " + earlier + ".\n";
        finish(inputLine(provenance, false, "its list would replace that of " + earlier));
        return;
    }
    ChainedInput chained;
    if (!taken.empty()) addPiece(chained, taken.data(), taken.size());
    chained.rest = source;
    side.source = chainedSource(chained);
    say(side.console, "%s opened for reading...\n", input.source.c_str());
    JobProgress progress{collection};
    ConversionOptions options = jobOptions(collection, progress, index);
    if (combined) {
        options.withSource = true;
        options.source = input.source;
        if (collection.sharedFile.context != nullptr) {
            // Inputs go into the shared file one at a time, numbered as they come.
            options.formatContext = collection.sharedFile.context;
            options.sourceId = static_cast<int64_t>(collection.sourcesSeen + 1);
            side.result = convert(side.source, discardingSink(), side.console, options);
        } else {
            side.result =
                convert(side.source, orderedPartSink(collection.ordered, index), side.console, options);
        }
    } else {
        convertIntoOwnList(collection, input, side, options);
    }
    completeProvenance(side);
    if (!side.provenanceWanted) recordConversion(provenance, side.result);
    platform::closeFile(side.database);
    const ConversionResult& result = side.result;
    if (result.outputClosed) collection.stop.store(true);
    Closing closing = closingOf(result, options);
    say(side.console, "%s", closing.lines.c_str());
    provenance.status = closing.status;
    provenance.console = side.kept.text;
    std::string problems = problemsOf(result);
    if (result.headerSeen && result.columns == ColumnSet::nameAndAttributes &&
        (options.filter.dated || std::string_view(options.format->name) == "timeline")) {
        problems += problems.empty() ? "no dates" : ", no dates";
    }
    finish(inputLine(provenance, true, problems));
}

void runJobs(void* context) {
    auto& collection = *static_cast<Collection*>(context);
    for (size_t index; (index = collection.nextInput.fetch_add(1)) < collection.runs.size();) {
        // Once the list is gone, the inputs left pass their turn on without being read.
        if (collection.stop.load()) {
            passOver(collection, index, true);
            continue;
        }
        try {
            convertInput(collection, index);
        } catch (const std::bad_alloc&) {
            // Memory ran out outside a conversion (its own is caught there): this input fails, alone.
            Provenance& provenance = collection.runs[index].provenance;
            provenance.path = collection.found.inputs[index].source;
            provenance.status = exitFatal;
            provenance.fatal = "Out of Memory";
            provenance.console += "Out of Memory\n";
            collection.runs[index].line = provenance.path + ": Out of Memory\n";
            passOver(collection, index, false);
        }
    }
}

}  // namespace

std::string listNameFor(const std::string& inputName, const OutputFormat& format) {
    std::string_view name = format.name;
    const char* extension = name == "bodyfile" ? "body" : name == "timeline" ? "timeline.jsonl" : format.name;
    return inputName + "." + extension;
}

int runCollection(Terminal& terminal, const CommandLine& command) {
    const bool combined = command.form == Form::combined;
    if ((combined && command.output == standardStream) || command.summary == standardStream) {
        terminal.lines = stderr;
    }
    Console console = terminalConsole(terminal);
    Collection collection(command, terminal);
    // The inputs are found before anything is written: what the run writes is then none of them.
    std::vector<fs::path> excluded;
    if (!combined) {
        std::error_code error;
        fs::create_directories(command.output, error);
        if (!fs::is_directory(command.output, error)) {
            say(console, "Error: Could not make the folder %s.\n", command.output.c_str());
            return exitFailed;
        }
        excluded.push_back(command.output);  // the lists the run writes there
    }
    collection.found = findInputs(command.inputs, excluded);
    for (const std::string& output : {combined ? command.output : std::string(), command.summary}) {
        if (!output.empty() && output != standardStream &&
            writingWouldEmptyAnInput(output, collection.found)) {
            say(console, "Error: %s is one of the inputs: it is not written over.\n", output.c_str());
            return exitFailed;
        }
    }
    platform::File list;
    FileOutput listFile;
    const bool ownFile = command.format->openFile != nullptr;
    if (combined && ownFile) {
        if (!openOwnFile(command, command.output, true, collection.sharedFile)) {
            say(console, "Error: Could not open %s for writing.\n", command.output.c_str());
            return exitFailed;
        }
    } else if (combined) {
        if (command.output == standardStream) {
            list = platform::standardOutputFile();
            listFile.emptyFirst = false;
        } else if (!platform::createForWritingEmptiedLater(command.output, list)) {
            say(console, "Error: Could not open %s for writing.\n", command.output.c_str());
            return exitFailed;
        }
        listFile.file = &list;
    }
    collection.runs.resize(collection.found.inputs.size());
    if (!combined) findClashingLists(collection);
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    // The shared file takes its rows from one input at a time.
    unsigned jobs = combined && ownFile ? 1 : command.jobs != 0 ? command.jobs : cores;
    jobs = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(1, collection.runs.size())));
    collection.jobs = jobs;
    collection.cores = cores;
    collection.formatThread =
        jobs == 1 && command.threads != 1 && combined && (ownFile || platform::isDeviceNotTerminal(list));
    collection.hash = !command.summary.empty() || ownFile;
    collection.progress = platform::standardErrorIsTerminal();
    collection.started = ProgressClock::now();
    bool listWritten = true;
    if (combined && !ownFile) {
        ByteSink sink = fileSink(listFile);
        // Into the null device nothing is kept, so no order either: every input writes at once.
        startOrderedOutput(collection.ordered, sink, collection.runs.size(), platform::isNullDevice(list));
        if (sink.prepare != nullptr && !sink.prepare(sink.context)) listWritten = false;
        if (const char* header = sourceHeaderOf(*command.format, command.recover);
            header != nullptr && listWritten) {
            listWritten = sink.write(sink.context, header, std::char_traits<char>::length(header));
        }
    }
    std::vector<std::thread> threads;
    for (unsigned job = 1; job < jobs; ++job) {
        std::thread thread;
        if (!startSystemThread(thread, runJobs, &collection)) break;  // the others take its inputs
        threads.push_back(std::move(thread));
    }
    runJobs(&collection);
    for (std::thread& thread : threads) thread.join();
    clearStatus(terminal);
    if (combined && !ownFile && command.output != standardStream && !platform::closeFile(list)) {
        listWritten = false;
    }
    if (collection.stop.load()) return exitOutputClosed;
    if (combined && !ownFile && collection.ordered.failed.load()) listWritten = false;

    uint64_t databases = 0, rows = 0, withErrors = 0, skipped = collection.found.skipped;
    std::vector<Provenance> inputs;
    std::string lines;
    RunOutcome outcome;
    outcome.recognised = true;
    outcome.ofMany = true;
    for (InputRun& run : collection.runs) {
        if (run.skipped) {
            ++skipped;
            continue;
        }
        const Provenance& input = run.provenance;
        databases += input.versionKnown ? 1 : 0;
        rows += input.rows;
        withErrors += input.status != exitSuccess ? 1 : 0;
        outcome.recognised = outcome.recognised && input.versionKnown;
        outcome.flags.readError = outcome.flags.readError || input.readError;
        outcome.flags.corrupt = outcome.flags.corrupt || input.corrupt;
        lines += run.line;
        inputs.push_back(std::move(run.provenance));
    }
    if (combined && ownFile) {
        outcome.console = lines;
        outcome.sources = inputs;
        if (!finishOwnFile(*command.format, collection.sharedFile, outcome)) listWritten = false;
    }
    bool clean = listWritten && withErrors == 0;
    if (!command.summary.empty() && !writeSummaryFile(command.summary, inputs)) {
        say(console, "Error: Could not write the summary %s.\n", command.summary.c_str());
        clean = false;
    }
    if (!listWritten) say(console, "Error: Encounted atleast one write error\n");
    say(console, "%s, %s, %s, %s\n", plural(databases, "database", "databases").c_str(),
        plural(rows, "row", "rows").c_str(),
        plural(withErrors, "input with errors", "inputs with errors").c_str(),
        plural(skipped, "file skipped", "files skipped").c_str());
    std::fflush(terminal.lines);
    return clean ? exitSuccess : exitFailed;
}

}  // namespace catadump
