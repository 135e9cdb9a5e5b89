#include "io/byte_sink.h"

namespace catadump {

namespace {

// Bytes are handed to the disk this many at a time: few calls, and little left for the close.
constexpr uint64_t writeOutStep = uint64_t{8} << 20;

bool writeToFile(void* context, const void* bytes, size_t n) {
    auto& output = *static_cast<FileOutput*>(context);
    if (output.closed.load(std::memory_order_relaxed)) return false;
    if (!platform::writeFile(*output.file, bytes, n)) {
        if (platform::isClosedPipe(platform::lastErrorCode()))
            output.closed.store(true, std::memory_order_relaxed);
        return false;
    }
    output.written += n;
    if (output.writeOutAsWritten && output.written - output.writtenOut >= writeOutStep) {
        platform::startWritingOut(*output.file, output.writtenOut, output.written - output.writtenOut);
        output.writtenOut = output.written;
    }
    return true;
}

bool emptyOutputFile(void* context) {
    auto& output = *static_cast<FileOutput*>(context);
    return !output.emptyFirst || platform::emptyFile(*output.file, output.writeOutAsWritten);
}

bool outputClosed(void* context) {
    return static_cast<FileOutput*>(context)->closed.load(std::memory_order_relaxed);
}

}  // namespace

ByteSink fileSink(FileOutput& output) { return {&output, writeToFile, emptyOutputFile, outputClosed}; }

namespace {
bool discardBytes(void*, const void*, size_t) { return true; }
}  // namespace

ByteSink discardingSink() { return ByteSink{nullptr, discardBytes}; }

}  // namespace catadump
