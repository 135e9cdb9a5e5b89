// Decompressing mode's supply of bytes. The blocks of the bzip2 data, a stream or several streams of the
// same block size one after the other, are found ahead of the reader and decoded on worker threads, then
// handed over in order. On any anomaly (a magic that is no real block boundary, a CRC failure, a truncated
// or corrupt file, the end of the data, a stream of another block size) the single-threaded filter
// takes over at the block where the anomaly is: it is started on a stream made of that block and what
// follows it, kept since the block was handed over, headed by a carrier block that gives the library the
// stream check of the blocks before, and it is driven in the pieces it would have produced from the start.
// So every byte, message and failure is the same as with the single-threaded filter alone, and no byte of
// the source is read twice: a pipe serves as well as a file.
//
// The decoded bytes that the pipeline holds (blocks waiting for the reader, the one it reads, blocks being
// decoded with their working memory, buffers kept for reuse) stay within `decodedBytesBudget`, whatever the
// number of threads: blocks of long runs, which decode to up to 46 MB each, are decoded fewer at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "io/byte_source.h"
#include "io/run_context.h"

namespace catadump {

struct Bzip2Decoder;

struct DecodedPiece {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

inline constexpr size_t decodedBytesBudget = size_t{64} << 20;

void destroyBzip2Decoder(Bzip2Decoder* decoder);
using Bzip2DecoderPointer = std::unique_ptr<Bzip2Decoder, void (*)(Bzip2Decoder*)>;

// Worker threads to use: 0 picks one per core (at least 2); 1 means the single-threaded filter only. The
// compressed data is `taken` (bytes the caller has read from the source already), then the source. When
// threads cannot be started, the single-threaded filter does the work. Null when the library cannot be set
// up. Its console lines go to the run's console.
Bzip2DecoderPointer startBzip2Decoder(RunContext& run, ByteSource source, std::vector<uint8_t> taken,
                                      unsigned threads);

// The next decoded bytes, valid until the next call. Empty when the data has ended or failed: the
// failure's console line has then been printed, once.
DecodedPiece nextDecodedPiece(Bzip2Decoder& decoder);

// A failure of the compressed data met right where the reader stopped, which it never asked past: damage
// found at the byte after the last one it took, or a file cut short after the last data byte, in the
// end-of-stream mark. Prints its console line and returns true; false when no such failure is waiting
// (none was met, it was reported already, or the stream merely ended). Under recovery, blocks lost right
// there (and a stream check that failed right before) are reported too.
bool reportWaitingFailure(Bzip2Decoder& decoder);

// Under the run's `recover`: a block that does not decode whole (its check fails, it is no valid block, the
// data is cut off in it) does not end the data. Its console line names the block, counted from 1, and the
// bit of the compressed data where it begins; the read-error flag is raised, and the blocks after it are
// handed over as ever. A stream whose blocks all came through but whose stream check fails is reported
// as well. Several streams and what follows the last are read as without recovery.
//
// The offsets in the decoded data (as handed out) where a lost block's bytes are missing, in order, one
// for each block left out; empty without recovery.
const std::vector<uint64_t>& lostBlockOffsets(const Bzip2Decoder& decoder);
// Whether damage was reported under recovery, and the data went on past it.
bool damageGonePast(const Bzip2Decoder& decoder);

// Compressed bytes taken from the source so far, for progress.
uint64_t compressedBytesRead(const Bzip2Decoder& decoder);

// For tests: how often the threaded path handed over to the single-threaded filter (0 or 1), how many
// workers it started, and the most decoded bytes it held at once.
unsigned fallbackCount(const Bzip2Decoder& decoder);
unsigned workerCount(const Bzip2Decoder& decoder);
size_t peakDecodedBytes(const Bzip2Decoder& decoder);

}  // namespace catadump
