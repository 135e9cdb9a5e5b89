#include "bzip2/filter.h"

#include <climits>
#include <cstdlib>
#include <new>

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

} // namespace

Bzip2Filter::~Bzip2Filter() {
    if (started) BZ2_bzDecompressEnd(&library);
}

bool startBzip2Filter(Bzip2Filter& filter) {
    if (filter.started) return false;
    filter.library = bz_stream{};
    filter.library.bzalloc = allocateForLibrary;
    filter.library.bzfree = releaseForLibrary;
    if (BZ2_bzDecompressInit(&filter.library, 0, 0) != BZ_OK) return false;
    filter.started = true;
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
        if (produced == n) break;
        if (result == BZ_STREAM_END) {
            fail(filter, FilterFailure::unexpectedEnd, result);
            break;
        }
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

} // namespace catadump
