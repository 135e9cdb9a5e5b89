#include "stream/database_stream.h"

#include <algorithm>
#include <new>

#include "stream/console.h"

namespace catadump {

namespace {

void markFailed() { runFlags().readError = true; }

// Raw mode: one read of the source into the buffer. The source is asked again on every refill, also after
// it has ended, so a raw read at the end of the file fails each time it is made.
size_t fillFromSource(DatabaseStream& stream) {
    int64_t got = stream.source.read(stream.source.context, stream.buffer.get(), stream.capacity);
    if (got <= 0) return 0;
    stream.sourceBytesRead += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
}

size_t fillFromFilter(DatabaseStream& stream) {
    Bzip2Filter& filter = *stream.filter;
    if (runFlags().readError) return 0;
    size_t got = inflateInto(filter, stream.source, stream.buffer.get(), stream.capacity);
    stream.sourceBytesRead = filter.compressedBytesRead;
    if (got == 0) reportFilterFailure(filter);
    return got;
}

} // namespace

void openDatabaseStream(DatabaseStream& stream, ByteSource source, size_t readAhead) {
    stream.source = source;
    stream.raw = true;
    stream.capacity = std::max<size_t>(readAhead, 16);
    stream.buffer.reset(new (std::nothrow) uint8_t[stream.capacity]);
    if (!stream.buffer) fatal("Out of Memory\n");
    stream.cursor = stream.limit = stream.buffer.get();
    stream.filter.reset();
    stream.sourceBytesRead = 0;
}

bool switchToDecompressing(DatabaseStream& stream) {
    auto filter = std::unique_ptr<Bzip2Filter>(new (std::nothrow) Bzip2Filter);
    if (!filter || !startBzip2Filter(*filter)) return false;
    stream.filter = std::move(filter);
    stream.raw = false;
    stream.source.rewind(stream.source.context);
    stream.cursor = stream.limit = stream.buffer.get();
    stream.sourceBytesRead = 0;
    return true;
}

size_t fillReadAhead(DatabaseStream& stream) {
    if (stream.cursor != stream.limit) return bufferedBytes(stream);
    size_t got = stream.raw ? fillFromSource(stream) : fillFromFilter(stream);
    stream.cursor = stream.buffer.get();
    stream.limit = stream.cursor + got;
    if (got == 0) markFailed();
    return got;
}

void readBytesSlow(DatabaseStream& stream, size_t n, uint8_t* destination) {
    uint8_t* out = destination;
    size_t wanted = n;
    while (wanted > 0) {
        size_t available = bufferedBytes(stream);
        if (available == 0) {
            // A raw read larger than the buffer goes straight to its destination.
            if (stream.raw && wanted >= stream.capacity) {
                int64_t got = stream.source.read(stream.source.context, out, wanted);
                if (got > 0) {
                    stream.sourceBytesRead += static_cast<uint64_t>(got);
                    out += got;
                    wanted -= static_cast<size_t>(got);
                    continue;
                }
                markFailed();
                break;
            }
            if ((available = fillReadAhead(stream)) == 0) break;
        }
        size_t piece = std::min(wanted, available);
        std::memcpy(out, stream.cursor, piece);
        stream.cursor += piece;
        out += piece;
        wanted -= piece;
    }
    if (wanted > 0) std::memset(destination, 0, n);
}

bool skipStreamBytes(DatabaseStream& stream, uint64_t n) {
    return readPieces(stream, n, [](const uint8_t*, size_t) {});
}

} // namespace catadump
