// The threaded decoder's state, shared by its parts: the scanner thread that cuts the compressed data into
// blocks (decoder_scanner.cpp), the worker threads that decode them (decoder_workers.cpp) within the budget
// of decoded bytes (decoder_budget.cpp), the reader's side that hands the blocks over in order
// (decoder_reader.cpp), the fallback to the single-threaded filter (decoder_restart.cpp), the reader's side
// under recovery (decoder_recovery.cpp), and the start and stop of the threads (decoder.cpp). Each group of
// fields says who owns it; the queue and the budget are shared by all the threads and read or written only
// under the mutex.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bzip2/block_decoder.h"
#include "bzip2/blocks.h"
#include "bzip2/decoder.h"
#include "bzip2/filter.h"

namespace catadump {

// The single-threaded filter produces the decoded data in pieces of this size, counted from its first
// byte; a restart keeps to the same pieces, with room before the first for the carrier block's bytes.
inline constexpr size_t pieceSize = size_t{1} << 20;
inline constexpr size_t pieceRoom = pieceSize + 256;
inline constexpr size_t scanChunkSize = size_t{1} << 20;
// A compressed block of the largest block size stays well below this; anything longer is no real stream.
inline constexpr size_t maxCompressedBlock = size_t{4} << 20;
// One block decodes to at most about 46 MB (900,000 bytes before the run-length stage).
inline constexpr size_t maxDecodedBlock = size_t{48} << 20;
// Output buffers up to this size go back to the workers once the reader is done with them.
inline constexpr size_t maxRecycledBuffer = size_t{8} << 20;
// Blocks found and not yet taken by the reader: their compressed bytes are kept until then.
inline constexpr unsigned maxBlocksAhead = 16;

// The working memory of one block decode, counted against the budget: our decoder's links and text (5 bytes
// a symbol) and chain pieces (4 a symbol at most: their shares, a long chain's piece doubled, and the piece
// it grew from while it is copied), and the library's own (4 a symbol) when it decodes the block instead.
inline size_t scratchBytes(int level) { return size_t{13} * 100000 * static_cast<size_t>(level); }

// A block's compressed bytes, from the byte that holds its magic's first bit to the byte that holds its
// last bit, and where in them the block's bits lie.
struct BlockJob {
    uint64_t index = 0;
    std::vector<uint8_t> bytes;
    uint64_t beginBit = 0;
    uint64_t endBit = 0;
    int level = 0;  // the stream header's block size digit
    // Under recovery: the data ends inside the block, whose coded data may end before endBit; or the span
    // is too long to be a block at all, and is lost without a look (its bytes are not kept).
    bool openEnd = false;
    bool tooLong = false;
};

// What the library would make of a block's header and coded data, which it reads in the call that produces
// the last byte of the block before: `refused` when it would fail there (or we cannot tell).
enum class Verdict { unknown, decodes, refused };

struct DecodedBuffer {
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
};

// A block from the moment the scanner finds it until the reader takes it.
struct BlockEntry {
    uint64_t streamBit = 0;     // where its magic begins in the compressed data
    uint64_t endStreamBit = 0;  // where the next magic begins
    uint32_t crc = 0;           // its stored check
    bool last = false;          // the end of the stream follows, with a stream check that holds
    bool first = false;         // the first block of its stream
    Verdict verdict = Verdict::unknown;
    bool settled = false;  // room for its bytes was granted, or it needs none
    bool done = false;
    bool whole = false;    // decoded, and its check held
    DecodedBuffer buffer;  // counted in the held bytes
    size_t size = 0;
    // Under recovery: an end magic follows, with this stream check; the data ended inside the block.
    bool endsStream = false;
    uint32_t streamCrc = 0;
    bool cut = false;
};

// The block handed to the reader last, as much of it as a restart needs.
struct HandedBlock {
    uint64_t streamBit = 0;
    uint64_t endStreamBit = 0;
    uint32_t crc = 0;
    uint32_t combinedBefore = 0;  // the stream check over the blocks before it in its stream
    uint64_t decodedStart = 0;    // where its bytes begin in the decoded data
    uint64_t streamStart = 0;     // where the bytes of its stream begin in the decoded data
    size_t size = 0;
    bool withheld = false;  // its last byte was kept back, because the library fails right there
};

// The scanner's compressed bytes, kept from the block handed out last on, for a restart. Only the scanner
// touches them while it runs; the restart reads them once it has stopped.
struct ScannerState {
    std::vector<uint8_t> window;
    uint64_t windowStart = 0;               // byte offset of window[0] in the compressed data
    int level = 0;                          // the stream header's block size digit, once read
    std::atomic<uint64_t> scannedBytes{0};  // compressed bytes taken from the source, for progress
};

// The blocks on their way from the scanner through the workers to the reader. Under the mutex.
struct BlockQueue {
    std::deque<BlockJob> jobs;              // waiting for a worker, by index
    std::map<uint64_t, BlockEntry> blocks;  // found and not yet taken by the reader
    uint64_t blocksFound = 0;
    uint64_t nextToDeliver = 0;
    uint64_t nextToSettle = 0;    // room is granted in block order, so the oldest is never starved
    uint64_t retainFromByte = 0;  // the scanner keeps its bytes from here on
    bool scanFinished = false;
    bool stopping = false;
    bool exhausted = false;  // memory ran out on a worker: no block after those done will come
    // Under recovery, once the scan has finished: how the data ended (none: the scanner ran out of memory),
    // as the single-threaded filter would have recorded it.
    FilterFailure dataEnd = FilterFailure::none;
    int dataEndCode = 0;
};

// The budget of decoded bytes: what the pipeline holds, and the memory it keeps for reuse. Under the mutex.
struct DecodedBudget {
    size_t held = 0;
    size_t peakHeld = 0;
    size_t scratchCost = 0;  // of one block decode, once the level is known
    unsigned scratchesInUse = 0;
    bool pressure = false;                // the oldest block waits for room: every other decode gives way
    std::array<size_t, 4> recentSizes{};  // decoded sizes of the blocks done last; 0 before any
    size_t recentCount = 0;
    std::vector<std::unique_ptr<Bzip2BlockScratch>> scratchPool;  // counted in `held`
    std::vector<DecodedBuffer> spareBuffers;                      // counted in `held`
};

struct Bzip2Decoder {
    RunContext* run = nullptr;

    // The compressed data, set up at the start.
    std::vector<uint8_t> taken;  // the bytes of the stream the caller had read already
    ChainedInput input;          // they, then the caller's source
    ByteSource source;           // reads `input`: everything below reads the compressed data through it

    // The reader's side of the threaded path, on the reader's thread.
    bool threaded = false;
    uint64_t delivered = 0;  // decoded bytes handed to the reader
    BlockEntry current;      // the block handed out last
    HandedBlock handed;
    uint64_t handedCount = 0;

    // The single-threaded path, on the reader's thread: the filter is set up at the start and fed only
    // after a fallback.
    Bzip2Filter filter;
    ByteSource filterSource;  // what the filter reads: `source`, or the restart stream
    ChainedInput restart;     // after a fallback: the restart head, the kept bytes, then `source`
    RestartHead head;
    std::vector<uint8_t> pieceBuffer;
    unsigned fallbacks = 0;
    size_t pendingStart = 0;  // after a fallback: bytes of pieceBuffer not yet handed out
    size_t pendingEnd = 0;

    // The threads, started and stopped on the reader's thread.
    unsigned maxAhead = 0;
    unsigned workersStarted = 0;
    std::thread scannerThread;

    // Under recovery (the run's `recover`), the threaded path to the end, on the reader's thread: a block
    // that does not decode whole is reported and left out, and the blocks after it are handed over.
    bool recovering = false;
    bool holding = false;         // `current` was taken and is not yet handed over
    bool streamLost = false;      // a block of the current stream was lost: its check is not looked at
    uint32_t streamCombined = 0;  // the check over the current stream's blocks handed over
    bool checkFailed = false;     // the stream of the block handed over last does not match its check,
    uint64_t checkBit = 0;        // which lies at this bit: reported when the reader asks past the block
    bool damageReported = false;  // a block or a stream check was reported, and the data went on
    std::vector<uint64_t> gaps;   // decoded offsets where a lost block's bytes are missing, in order
    std::vector<std::thread> workers;

    ScannerState scan;

    // Shared by the threads.
    mutable std::mutex mutex;  // guards `queue` and `budget`; also taken by the const look-ups for tests
    std::condition_variable changed;
    BlockQueue queue;
    DecodedBudget budget;

    ~Bzip2Decoder();
};

// ---- the budget (all under the mutex) ------------------------------------------------------------------

void releaseBuffer(Bzip2Decoder& d, DecodedBuffer& buffer);
// Buffers and working memory kept for reuse give way to a block that needs the room.
void dropKeptMemory(Bzip2Decoder& d);
// Whether a worker may take the first waiting job.
bool mayStartJob(Bzip2Decoder& d);
// Working memory for one block decode, from the pool or new; null when there is no memory.
std::unique_ptr<Bzip2BlockScratch> takeScratch(Bzip2Decoder& d);
void giveBackScratch(Bzip2Decoder& d, std::unique_ptr<Bzip2BlockScratch>& scratch);
// Settled blocks let the next ones be granted room.
void settle(Bzip2Decoder& d, BlockEntry& entry);
// Memory ran out on a worker: the threaded path ends after the blocks already done.
void endForWantOfMemory(Bzip2Decoder& d);
// Waits for the block's turn and room for its bytes. False when the worker is to give the job up.
bool grantRoom(Bzip2Decoder& d, std::unique_lock<std::mutex>& lock, BlockJob& job, size_t length,
               DecodedBuffer& buffer);

// ---- the threads: their bodies, and their stop ---------------------------------------------------------

void runScanner(void* context);
void runWorker(void* context);
void stopThreads(Bzip2Decoder& d);

// ---- the reader's side ---------------------------------------------------------------------------------

// The reader is done with the block it had; under the mutex.
void releaseCurrent(Bzip2Decoder& d);
// The single-threaded filter takes over where the threaded path stopped.
void fallBack(Bzip2Decoder& d);

// Under recovery: the next whole block, past the lost ones; and the failure waiting where the reader stopped.
DecodedPiece nextRecoveredPiece(Bzip2Decoder& d);
bool reportRecoveredFailure(Bzip2Decoder& d);

}  // namespace catadump
