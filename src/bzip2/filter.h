// The bzip2 filter: inflates bzip2 data read from a byte source. Kept apart from the database formats;
// the stream uses it to fill its read-ahead buffer in large chunks.
//
// The data may be several bzip2 streams one after the other, as parallel compressors write it: when a
// stream has ended and more bytes are wanted, a stream header ("BZh1".."BZh9") right after it starts the
// next stream, whose bytes continue the data. Each stream is checked on its own, with its own stream check.
// Anything else after a stream, or nothing, is the end of the data.
//
// A failure (the source failing or ending, the library rejecting the data, the data ending) is recorded
// when it is met and reported only when the reader asks for bytes that lie beyond it, so the console shows
// it at the read that needs the missing bytes.
#pragma once

#include <bzlib.h>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "io/byte_source.h"
#include "io/run_context.h"

namespace catadump {

enum class FilterFailure { none, readFailed, decompressFailed, unexpectedEnd };

// The library's stream is ended in one place, the destructor, whatever ended the filter's use.
struct Bzip2Filter {
    Bzip2Filter() = default;
    Bzip2Filter(const Bzip2Filter&) = delete;
    Bzip2Filter& operator=(const Bzip2Filter&) = delete;
    ~Bzip2Filter();

    bz_stream library{};
    bool started = false;             // BZ2_bzDecompressInit succeeded
    std::unique_ptr<char[]> staging;  // compressed bytes read from the source, not yet consumed
    FilterFailure failure = FilterFailure::none;
    int failureCode = 0;    // system error or library result, for the console line
    bool reported = false;  // the failure's console line has been printed
    uint64_t compressedBytesRead = 0;
    bool streamEnded = false;  // the library's stream has ended; a following stream may continue it
};

inline constexpr size_t bzip2StagingSize = 65536;

// Sets up the library and the staging buffer; false when either cannot be had.
bool startBzip2Filter(Bzip2Filter& filter);

// Inflates up to n bytes into destination and returns how many came out. Fewer than n means that the filter
// met its failure (none means it will produce nothing more), or that a stream ended in this call: the next
// call goes on with the stream after it, so the bytes after a stream's end are looked at only when wanted.
size_t inflateInto(Bzip2Filter& filter, ByteSource& source, uint8_t* destination, size_t n);

// Prints the console line of the recorded failure, once.
void reportFilterFailure(Bzip2Filter& filter, RunContext& run);

}  // namespace catadump
