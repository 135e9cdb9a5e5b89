#include "driver/convert.h"

#include <new>

#include "readers/dispatch.h"

namespace catadump {

namespace {

struct ProgressWatch {
    const ConversionOptions& options;
    const DatabaseStream& stream;
    const CsvWriter& writer;
};

void reportProgress(void* context) {
    auto& watch = *static_cast<ProgressWatch*>(context);
    watch.options.onProgress(watch.options.progressContext, databaseBytesRead(watch.stream),
                             watch.writer.linesWritten.load(std::memory_order_relaxed));
}

}  // namespace

ConversionResult convert(ByteSource source, ByteSink sink, Console console,
                         const ConversionOptions& options) {
    RunContext run{.flags = {}, .console = console, .startThread = options.startThread};
    ConversionResult result;
    CsvWriter writer;  // outlives the stream, so that a fatal condition can still abandon it
    try {
        DatabaseStream stream;
        openDatabaseStream(stream, run, source, options.readAhead);
        stream.decoderThreads = options.decoderThreads;
        openCsvWriter(writer, run, sink, options.writing, options.onProgress != nullptr);
        ProgressWatch watch{options, stream, writer};
        if (options.onProgress != nullptr) {
            stream.onRefill = reportProgress;
            stream.refillContext = &watch;
        }
        if (options.decompressFromStart &&
            !switchToDecompressing(stream, nullptr, 0, options.decoderThreads)) {
            fatal("failed to alloc bz2 stream data\n");
        }
        RowOutput output;
        output.writer = &writer;
        bindFormat(output, *options.format);
        output.dates = options.dates;
        output.context = options.formatContext;
        result.recognised = dispatchDatabase(stream, output);
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
    result.flags = run.flags;
    return result;
}

}  // namespace catadump
