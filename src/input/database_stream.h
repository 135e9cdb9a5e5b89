// The database input stream. Every byte of the database is read through it, raw or through the bzip2
// filter, with fixed-width little-endian reads. Reads never fail towards their caller: a failed or short
// read sets the read-error flag and delivers zeroes, and the conversion goes on.
//
// Both modes read ahead into one buffer, so a field costs a few instructions rather than a system or
// library call; the observable results (values, zeroes, the flag and the console lines) are those of a
// stream that reads each field on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bzip2/decoder.h"
#include "io/byte_source.h"
#include "io/run_context.h"

namespace catadump {

struct alignas(threadOwnedAlignment) DatabaseStream {
    RunContext* run = nullptr;  // its read-error flag and console
    ByteSource source;
    bool raw = true;
    std::unique_ptr<uint8_t[]> buffer;  // raw mode's read-ahead
    size_t capacity = 0;
    const uint8_t* cursor = nullptr;  // next unread byte: in the buffer, or in a decoded piece
    const uint8_t* limit = nullptr;   // end of the bytes at hand
    Bzip2DecoderPointer decoder{nullptr, destroyBzip2Decoder};
    uint64_t rawBytesRead = 0;    // bytes taken from the source in raw mode
    uint64_t delivered = 0;       // bytes of the (decoded) data brought in so far, taken or buffered
    unsigned decoderThreads = 0;  // for a wrapped database: see switchToDecompressing
    // Told each time new bytes are at hand (about every megabyte), for a progress display; and told
    // before each refill, which may wait for the source or the decoder, so that what the conversion holds
    // can go on meanwhile.
    void (*onRefill)(void* context) = nullptr;
    void (*beforeRefill)(void* context) = nullptr;
    void* refillContext = nullptr;
};

inline constexpr size_t defaultReadAhead = size_t{1} << 20;

// A read has failed (the read-error flag): a reader stops rather than build on the zeroes it got.
inline bool failed(const DatabaseStream& stream) { return stream.run->flags.readError; }

// Sets the stream up in raw mode over the source. The read-ahead size can be made small by tests.
void openDatabaseStream(DatabaseStream& stream, RunContext& run, ByteSource source,
                        size_t readAhead = defaultReadAhead);

// Reads the database from now on through the bzip2 decoder, with that many worker threads (0: one per core;
// 1: single-threaded). The compressed data is the `taken` bytes the caller has read already (the
// signature), then the bytes still in the read-ahead buffer, then the rest of the source: nothing is read
// twice, so a pipe serves as well as a file. False when the decoder cannot be set up (the caller ends the
// run).
bool switchToDecompressing(DatabaseStream& stream, const uint8_t* taken, size_t takenSize,
                           unsigned threads = 0);

// The reading of the database is over. In decompressing mode, damage that the decoder met right where the
// reader stopped (a block whose check failed after the reader had taken all its bytes, a file cut in its
// end-of-stream mark) is reported now and counts as a failed read, so the run does not end as if all was
// well. Damage beyond bytes the reader left unread is not its concern: the threaded decoder would not even
// have looked at it. Under recovery, blocks lost right where the reader stopped are reported (and are gaps),
// and the read-error flag is raised again if any damage was met, however a reader looking ahead has left it.
void finishDatabaseStream(DatabaseStream& stream);

// Under recovery (the run's `recover`), the bzip2 decoder goes on past a block it cannot decode: that
// block's bytes are missing from the decoded data, a gap of unknown length, and the read-error flag is
// raised. A gap at offset g (of the decoded data, as streamPosition counts it) means that bytes are missing
// right before byte g: the bytes before g and from g on were both delivered, and follow one another. The
// gaps' offsets, in order (one for each block lost, so two may be equal), as far as the data was delivered;
// always empty in raw mode or without recovery.
const std::vector<uint64_t>& dataGaps(const DatabaseStream& stream);

// Whether a gap lies within [from, to) of the decoded data: a record read from those bytes was read across
// missing bytes (from < g), or begins right after them (g == from), where nothing tells that a record
// begins. A record that ends right before a gap (g == to) is whole. Ask once the bytes up to `to` were read:
// a gap is known from the time the bytes after it are.
bool gapWithinDecoded(const DatabaseStream& stream, uint64_t from, uint64_t to);
// Asked of every record a recovering reader takes: raw data, which has no gaps, costs no call.
inline bool gapWithin(const DatabaseStream& stream, uint64_t from, uint64_t to) {
    return stream.decoder != nullptr && gapWithinDecoded(stream, from, to);
}

// Up to n bytes of the data into destination, as a refill would take them (the refill's callbacks told):
// for a reader that keeps a window of the data of its own. Where the data is raw and none is buffered,
// they go from the source straight to the destination. The bytes taken; 0 at the end of the data (or a
// failed read), which is no failure here: the reader says what the data lacked.
size_t takeDataBytes(DatabaseStream& stream, uint8_t* destination, size_t n);

// Bytes of the database file consumed so far (compressed bytes in decompressing mode), for progress.
uint64_t databaseBytesRead(const DatabaseStream& stream);

// Bytes still unread in the read-ahead buffer.
inline size_t bufferedBytes(const DatabaseStream& stream) {
    return static_cast<size_t>(stream.limit - stream.cursor);
}

// Where the reader is in the (decoded) data: the bytes it has taken so far.
inline uint64_t streamPosition(const DatabaseStream& stream) {
    return stream.delivered - bufferedBytes(stream);
}

// Refills the read-ahead buffer when it is empty; returns the bytes now buffered, 0 when the data has ended
// or failed (the failure is then reported and the read-error flag set).
size_t fillReadAhead(DatabaseStream& stream);

// The next n bytes into destination, or n zero bytes after a failure.
void readBytesSlow(DatabaseStream& stream, size_t n, uint8_t* destination);

inline void readBytes(DatabaseStream& stream, size_t n, void* destination) {
    if (bufferedBytes(stream) >= n) {
        if (n > 0) std::memcpy(destination, stream.cursor, n);
        stream.cursor += n;
        return;
    }
    readBytesSlow(stream, n, static_cast<uint8_t*>(destination));
}

inline uint8_t readU8(DatabaseStream& stream) {
    if (stream.cursor != stream.limit) return *stream.cursor++;
    uint8_t value;
    readBytesSlow(stream, 1, &value);
    return value;
}

inline uint32_t loadU32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

inline uint64_t loadU64(const uint8_t* bytes) {
    return uint64_t{loadU32(bytes)} | uint64_t{loadU32(bytes + 4)} << 32;
}

inline uint32_t readU32(DatabaseStream& stream) {
    uint8_t bytes[4];
    readBytes(stream, 4, bytes);
    return loadU32(bytes);
}

inline uint64_t readU64(DatabaseStream& stream) {
    uint8_t bytes[8];
    readBytes(stream, 8, bytes);
    return loadU64(bytes);
}

// Consumes n bytes without keeping them; false (and the flag set) when the data ran out first.
bool skipStreamBytes(DatabaseStream& stream, uint64_t n);

// Hands the next n bytes to take(const uint8_t* piece, size_t length) as they become available, so the
// caller's storage grows with the data actually present rather than with a length the database claims.
// Returns false when the data ran out: the read-error flag is then set, and the caller zeroes what it took.
template <typename Take> bool readPieces(DatabaseStream& stream, uint64_t n, Take&& take) {
    while (n > 0) {
        size_t available = bufferedBytes(stream);
        if (available == 0 && (available = fillReadAhead(stream)) == 0) return false;
        size_t piece = n < available ? static_cast<size_t>(n) : available;
        take(stream.cursor, piece);
        stream.cursor += piece;
        n -= piece;
    }
    return true;
}

}  // namespace catadump
