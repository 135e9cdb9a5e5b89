#include "bzip2/filter.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bzip2/blocks.h"

namespace catadump {

namespace {

void* allocateForLibrary(void*, int items, int size) {
    return std::malloc(static_cast<size_t>(items) * static_cast<size_t>(size));
}
void releaseForLibrary(void*, void* block) { std::free(block); }

void fail(Bzip2Filter& filter, FilterFailure failure, int code) {
    filter.failure = failure;
    filter.failureCode = code;
}

bool startLibraryStream(Bzip2Filter& filter) {
    filter.library = bz_stream{};
    filter.library.bzalloc = allocateForLibrary;
    filter.library.bzfree = releaseForLibrary;
    if (BZ2_bzDecompressInit(&filter.library, 0, 0) != BZ_OK) return false;
    filter.started = true;
    return true;
}

// A stream has ended and more bytes are wanted: a stream header right after it starts the next stream, on a
// new library stream that goes on with the compressed bytes not yet consumed. The header may be split
// across source reads, so its bytes are gathered at the start of the staging buffer first. Anything else,
// or a source that ends before four bytes, is the end of the data, reported as the end of a lone stream is.
bool beginNextStream(Bzip2Filter& filter, ByteSource& source) {
    bz_stream& library = filter.library;
    char* staging = filter.staging.get();
    if (library.avail_in < 4) {
        if (library.avail_in > 0) std::memmove(staging, library.next_in, library.avail_in);
        library.next_in = staging;
        while (library.avail_in < 4) {
            int64_t got =
                source.read(source.context, staging + library.avail_in, bzip2StagingSize - library.avail_in);
            if (got <= 0) break;
            filter.compressedBytesRead += static_cast<uint64_t>(got);
            library.avail_in += static_cast<unsigned>(got);
        }
    }
    if (bzip2StreamLevel(reinterpret_cast<const uint8_t*>(library.next_in), library.avail_in) == 0) {
        fail(filter, FilterFailure::unexpectedEnd, BZ_STREAM_END);
        return false;
    }
    char* next = library.next_in;
    unsigned available = library.avail_in;
    BZ2_bzDecompressEnd(&library);
    filter.started = false;
    if (!startLibraryStream(filter)) fatal("Out of Memory\n");
    filter.library.next_in = next;
    filter.library.avail_in = available;
    filter.streamEnded = false;
    return true;
}

}  // namespace

Bzip2Filter::~Bzip2Filter() {
    if (started) BZ2_bzDecompressEnd(&library);
}

bool startBzip2Filter(Bzip2Filter& filter) {
    if (filter.started || !startLibraryStream(filter)) return false;
    filter.staging.reset(new (std::nothrow) char[bzip2StagingSize]);
    if (!filter.staging) return false;
    filter.library.next_in = nullptr;
    filter.library.avail_in = 0;
    return true;
}

size_t inflateInto(Bzip2Filter& filter, ByteSource& source, uint8_t* destination, size_t n) {
    if (filter.failure != FilterFailure::none || n == 0) return 0;
    bz_stream& library = filter.library;
    size_t produced = 0;
    while (produced < n) {
        if (filter.streamEnded) {
            // A piece ends with its stream; the next stream, if any, is looked for when bytes are wanted.
            if (produced > 0 || !beginNextStream(filter, source)) break;
        }
        if (library.avail_in == 0) {
            int64_t got = source.read(source.context, filter.staging.get(), bzip2StagingSize);
            if (got <= 0) {
                fail(filter, FilterFailure::readFailed, source.lastError(source.context));
                break;
            }
            filter.compressedBytesRead += static_cast<uint64_t>(got);
            library.next_in = filter.staging.get();
            library.avail_in = static_cast<unsigned>(got);
        }
        size_t room = n - produced;
        unsigned ask = room > UINT_MAX ? UINT_MAX : static_cast<unsigned>(room);
        library.next_out = reinterpret_cast<char*>(destination + produced);
        library.avail_out = ask;
        int result = BZ2_bzDecompress(&library);
        size_t made = ask - library.avail_out;
        produced += made;
        if (result != BZ_OK && result != BZ_STREAM_END) {
            // The library checks a block in the call that produces the block's last byte, and goes on to
            // the next header in the same call. A reader asking for bytes one field at a time would have
            // that call fail on the field holding the last byte it produced, so that byte is where the
            // failure is met: it is held back, and the field needing it reads as failed.
            if (made > 0) --produced;
            fail(filter, FilterFailure::decompressFailed, result);
            break;
        }
        // Also when the stream's last byte filled the piece: the library takes no further call on it.
        if (result == BZ_STREAM_END) filter.streamEnded = true;
    }
    return produced;
}

void reportFilterFailure(Bzip2Filter& filter, RunContext& run) {
    if (filter.reported) return;
    filter.reported = filter.failure != FilterFailure::none;
    switch (filter.failure) {
    case FilterFailure::readFailed:
        say(run, "ReadFile(): %d: Failed to read.\n", filter.failureCode);
        break;
    case FilterFailure::decompressFailed:
        say(run, "BZ2_bzDecompress(): %d: Failed to decompress.\n", filter.failureCode);
        break;
    case FilterFailure::unexpectedEnd:
        say(run, "BZ2_bzDecompress(): %d: Unexpected EOF in decompression stream.\n", filter.failureCode);
        break;
    case FilterFailure::none:
        break;
    }
}

}  // namespace catadump
