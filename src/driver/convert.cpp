#include "driver/convert.h"

#include <new>

#include "driver/format_thread.h"
#include "readers/dispatch.h"

namespace catadump {

namespace {

struct ProgressWatch {
    const ConversionOptions& options;
    const DatabaseStream& stream;
    const CsvWriter& writer;
};

void reportProgress(void* context, uint64_t databaseBytes) {
    auto& watch = *static_cast<ProgressWatch*>(context);
    watch.options.onProgress(watch.options.progressContext, databaseBytes,
                             watch.writer.linesWritten.load(std::memory_order_relaxed));
}

void reportProgressNow(void* context) {
    auto& watch = *static_cast<ProgressWatch*>(context);
    reportProgress(context, databaseBytesRead(watch.stream));
}

}  // namespace

ConversionResult convert(ByteSource source, ByteSink sink, Console console,
                         const ConversionOptions& options) {
    RunContext run{.flags = {},
                   .console = console,
                   .startThread = options.startThread,
                   .recover = options.recover,
                   .recovery = {}};
    ConversionResult result;
    CsvWriter writer;  // outlives the stream, so that a fatal condition can still abandon it
    RowOutput output;  // and this, to tell the version of a run that ended early
    uint64_t entriesSent = 0;
    try {
        DatabaseStream stream;
        openDatabaseStream(stream, run, source, options.readAhead);
        stream.decoderThreads = options.decoderThreads;
        ProgressWatch watch{options, stream, writer};
        output.writer = &writer;
        output.withSource = options.withSource;
        output.source = options.source;
        output.filter = options.filter;
        output.sourceId = options.sourceId;
        output.recover = options.recover;
        bindFormat(output, *options.format);
        output.dates = options.dates;
        output.context = options.formatContext;
        // The format on a thread of its own when asked for and one can be had; else on this one. With it,
        // this thread writes the output in the time it would wait, rather than a third thread.
        FormatThreadPointer formatThread(nullptr, stopFormatThread);
        ProgressHook progress;
        if (options.onProgress != nullptr) progress = {reportProgress, &watch};
        if (options.formatThread) formatThread = startFormatThread(run, stream, output, progress);
        CsvWriting writing = options.writing;
        if (formatThread && writing == CsvWriting::overlapped) writing = CsvWriting::pumped;
        openCsvWriter(writer, run, sink, writing, options.onProgress != nullptr);
        if (writing == CsvWriting::pumped) writeOnConvertingThread(*formatThread, writer);
        if (!formatThread && options.onProgress != nullptr) {
            stream.onRefill = reportProgressNow;
            stream.refillContext = &watch;
        }
        if (options.decompressFromStart &&
            !switchToDecompressing(stream, nullptr, 0, options.decoderThreads)) {
            fatal("failed to alloc bz2 stream data\n");
        }
        EntrySink& entries = formatThread ? formatThreadSink(*formatThread) : output;
        result.recognised = dispatchDatabase(stream, entries);
        if (formatThread) finishFormatThread(*formatThread);
        entriesSent = entries.entriesSent;
        formatThread.reset();
        stream.onRefill = nullptr;
        flush(writer);
    } catch (const FatalCondition& condition) {
        result.fatalLine = condition.line;
    } catch (const std::bad_alloc&) {
        result.fatalLine = "Out of Memory\n";
    } catch (const OutputClosed&) {
        result.outputClosed = true;
    }
    if (result.fatalLine != nullptr || result.outputClosed) abandonCsvWriter(writer);
    // What the format saw, also of a run that ended early (the entries only of one that got to its end).
    result.headerSeen = output.headerSeen;
    result.version = output.version;
    result.columns = output.columns;
    result.datesOutOfRange = output.datesOutOfRange;
    result.rows = entriesSent - output.entriesLeftOut + static_cast<uint64_t>(output.rowsBeyondEntries);
    result.flags = run.flags;
    result.recover = run.recover;
    result.recovery = run.recovery;
    return result;
}

}  // namespace catadump
