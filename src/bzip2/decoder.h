// Decompressing mode's supply of bytes. The blocks of the bzip2 stream are found ahead of the reader and
// decoded on worker threads, then handed over in order. On any anomaly (a magic that is no real block
// boundary, a CRC failure, a truncated or corrupt file, the end of the stream) the single-threaded filter
// takes over from the start of the file, skips the bytes already handed over and goes on from there, so
// every byte, message and failure is the same as with the single-threaded filter alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "stream/byte_source.h"
#include "stream/run_context.h"

namespace catadump {

struct Bzip2Decoder;

struct DecodedPiece {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

void destroyBzip2Decoder(Bzip2Decoder* decoder);
using Bzip2DecoderPointer = std::unique_ptr<Bzip2Decoder, void (*)(Bzip2Decoder*)>;

// Worker threads to use: 0 picks one per core (at least 2); 1 means the single-threaded filter only.
// Null when the library cannot be set up. Its console lines go to the run's console.
Bzip2DecoderPointer startBzip2Decoder(RunContext& run, ByteSource source, unsigned threads);

// The next decoded bytes, valid until the next call. Empty when the data has ended or failed: the
// failure's console line has then been printed, once.
DecodedPiece nextDecodedPiece(Bzip2Decoder& decoder);

// A failure of the compressed data met right where the reader stopped, which it never asked past: damage
// found at the byte after the last one it took, or a file cut short after the last data byte, in the
// end-of-stream mark. Prints its console line and returns true; false when no such failure is waiting
// (none was met, it was reported already, or the stream merely ended).
bool reportWaitingFailure(Bzip2Decoder& decoder);

// Compressed bytes taken from the source so far, for progress.
uint64_t compressedBytesRead(const Bzip2Decoder& decoder);

// How often the threaded path handed over to the single-threaded filter (0 or 1), for tests.
unsigned fallbackCount(const Bzip2Decoder& decoder);

} // namespace catadump
