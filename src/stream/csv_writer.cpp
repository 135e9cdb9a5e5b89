#include "stream/csv_writer.h"

#include <algorithm>
#include <new>

#include "stream/console.h"

namespace catadump {

namespace {

bool writeToFile(void* context, const void* bytes, size_t n) {
    return platform::writeFile(*static_cast<platform::File*>(context), bytes, n);
}

void writeOut(CsvWriter& writer, const char* bytes, size_t n) {
    if (writer.countLines) writer.linesWritten += static_cast<uint64_t>(std::count(bytes, bytes + n, '\n'));
    if (!writer.sink.write(writer.sink.context, bytes, n)) runFlags().writeError = true;
}

} // namespace

ByteSink fileSink(platform::File& file) { return {&file, writeToFile}; }

void openCsvWriter(CsvWriter& writer, ByteSink sink) {
    writer.buffer.reset(new (std::nothrow) char[csvBufferSize]);
    if (!writer.buffer) fatal("Out of Memory\n");
    writer.cursor = writer.buffer.get();
    writer.spaceLeft = csvBufferSize;
    writer.sink = sink;
}

void flush(CsvWriter& writer) {
    if (writer.spaceLeft == csvBufferSize) return;
    writeOut(writer, writer.buffer.get(), csvBufferSize - writer.spaceLeft);
    writer.cursor = writer.buffer.get();
    writer.spaceLeft = csvBufferSize;
}

void writeBytesSlow(CsvWriter& writer, const char* bytes, size_t n) {
    flush(writer);
    if (n >= csvBufferSize) {
        writeOut(writer, bytes, n);
        return;
    }
    if (n > 0) std::memcpy(writer.cursor, bytes, n);
    writer.cursor += n;
    writer.spaceLeft -= n;
}

} // namespace catadump
