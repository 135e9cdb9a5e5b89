#include "bzip2/decoder.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "bzip2/bits.h"
#include "bzip2/block_decoder.h"
#include "bzip2/blocks.h"
#include "bzip2/filter.h"

namespace catadump {

namespace {

constexpr size_t singlePieceSize = size_t{1} << 20;
constexpr size_t scanChunkSize = size_t{1} << 20;
// A compressed block of the largest block size stays well below this; anything longer is no real stream.
constexpr size_t maxCompressedBlock = size_t{4} << 20;
// One block decodes to at most about 45 MB (900,000 bytes before the run-length stage).
constexpr size_t maxDecodedBlock = size_t{48} << 20;
// Output buffers up to this size go back to the workers once the reader is done with them.
constexpr size_t maxRecycledBuffer = size_t{8} << 20;
constexpr uint64_t firstBlockBit = 32;  // right after "BZh1".."BZh9"

// A block's compressed bytes, from the byte that holds its magic's first bit to the byte that holds its
// last bit, and where in them the block's bits lie.
struct BlockJob {
    uint64_t index = 0;
    std::vector<uint8_t> bytes;
    uint64_t beginBit = 0;
    uint64_t endBit = 0;
    int level = 0;  // the stream header's block size digit
};

struct BlockResult {
    bool whole = false;
    std::vector<uint8_t> bytes;  // a recycled buffer: only [0, size) is the block's
    size_t size = 0;
};

} // namespace

struct Bzip2Decoder {
    RunContext* run = nullptr;
    ByteSource source;
    Bzip2Filter filter;  // the single-threaded path, set up at the start, fed only after a fallback
    std::vector<uint8_t> pieceBuffer;
    bool threaded = false;
    unsigned fallbacks = 0;
    uint64_t delivered = 0;
    BlockResult current;           // the block handed out last
    size_t pendingStart = 0;       // after a fallback: bytes of pieceBuffer not yet handed out
    size_t pendingEnd = 0;

    // The threaded pipeline; everything below the mutex is shared with the threads.
    size_t maxInFlight = 0;
    std::thread scanner;
    std::vector<std::thread> workers;
    std::atomic<uint64_t> scannedBytes{0};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<BlockJob> jobs;  // waiting for a worker, oldest first
    std::map<uint64_t, BlockResult> results;
    std::vector<std::vector<uint8_t>> spareBuffers;  // output buffers the reader is done with, pages and all
    uint64_t blocksFound = 0;
    uint64_t nextToDeliver = 0;
    bool scanFinished = false;
    bool stopping = false;
    bool exhausted = false;  // a worker could not store its result: the threaded path ends there

    ~Bzip2Decoder();
};

namespace {

void stopThreads(Bzip2Decoder& decoder) {
    {
        std::lock_guard lock(decoder.mutex);
        decoder.stopping = true;
    }
    decoder.changed.notify_all();
    if (decoder.scanner.joinable()) decoder.scanner.join();
    for (std::thread& worker : decoder.workers) worker.join();
    decoder.workers.clear();
}

// Queues a block for the workers, waiting while too many blocks are in flight. False when stopping.
bool queueBlock(Bzip2Decoder& decoder, const uint8_t* window, uint64_t beginBit, uint64_t endBit, int level) {
    size_t first = static_cast<size_t>(beginBit / 8);
    std::vector<uint8_t> bytes(window + first, window + (endBit + 7) / 8);
    std::unique_lock lock(decoder.mutex);
    decoder.changed.wait(lock, [&] {
        return decoder.stopping || decoder.blocksFound - decoder.nextToDeliver < decoder.maxInFlight;
    });
    if (decoder.stopping) return false;
    decoder.jobs.push_back({decoder.blocksFound++, std::move(bytes), beginBit - uint64_t{first} * 8,
                            endBit - uint64_t{first} * 8, level});
    decoder.changed.notify_all();
    return true;
}

// The stream's check: every block's CRC folded in, in order, as the library does.
uint32_t combineCrc(uint32_t combined, uint32_t blockCrc) { return (combined << 1 | combined >> 31) ^ blockCrc; }

// Reads the compressed file and cuts it into blocks. Stops at the end magic, at the end of the data, or at
// anything that does not look like a whole stream; the reader falls back once it runs past the last block.
void scanBlocks(Bzip2Decoder& decoder) {
    std::vector<uint8_t> window;  // compressed bytes from the byte holding the current block's start
    uint64_t windowStart = 0;     // absolute byte offset of window[0]
    uint64_t blockStart = 0;      // absolute bit of the current block's magic; 0 until the first is found
    uint64_t scannedTo = 0;       // absolute bit from which magics are still to be looked for
    uint32_t combined = 0;        // the stream check over the blocks queued so far
    std::vector<MagicMark> marks;
    int level = 0;                // the header's block size digit, once the header is in
    for (;;) {
        size_t old = window.size();
        window.resize(old + scanChunkSize);
        int64_t got = decoder.source.read(decoder.source.context, window.data() + old, scanChunkSize);
        if (got <= 0) break;
        window.resize(old + static_cast<size_t>(got));
        decoder.scannedBytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);

        marks.clear();
        uint64_t base = windowStart * 8;
        findMagics(window.data(), window.size(), scannedTo - base, marks);
        if (window.size() >= 8) scannedTo = base + (window.size() - 7) * 8;
        if (level == 0 && window.size() >= 4) {
            // Only a valid stream header gives the block size that every block is held to.
            level = bzip2StreamLevel(window.data(), window.size());
            if (level == 0) return;
        }
        for (const MagicMark& mark : marks) {
            uint64_t bit = base + mark.bit;
            if (blockStart == 0) {
                if (bit != firstBlockBit || mark.kind != MagicKind::block) return;  // no stream we can cut
                blockStart = bit;
                continue;
            }
            uint64_t at = bit - base;
            uint64_t windowBits = uint64_t{window.size()} * 8;
            if (blockStart - base + 80 > windowBits) return;  // magics overlapping the block's own CRC
            uint32_t withThisBlock = combineCrc(combined, bitsAt(window.data(), blockStart - base + 48));
            if (mark.kind == MagicKind::end) {
                // The stream check follows the end magic. A stream cut inside it, or whose blocks do not
                // add up to it, leaves its last block to the single-threaded filter, which reports that.
                if (at + 80 > windowBits) {
                    scannedTo = bit;  // look at this end magic again once more bytes are in
                    break;
                }
                if (bitsAt(window.data(), at + 48) != withThisBlock) return;
                queueBlock(decoder, window.data(), blockStart - base, at, level);
                return;
            }
            if (!queueBlock(decoder, window.data(), blockStart - base, at, level)) return;
            combined = withThisBlock;
            blockStart = bit;
        }
        if (blockStart == 0 && scannedTo > firstBlockBit) return;
        // Keep only the bytes from the current block's start on.
        uint64_t keepFrom = std::max(blockStart, firstBlockBit) / 8;
        if (keepFrom > windowStart) {
            window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(keepFrom - windowStart));
            windowStart = keepFrom;
        }
        if (window.size() > maxCompressedBlock) return;
    }
}

// Memory running out on a thread of the pipeline only ends the threaded path: the single-threaded filter
// takes over where it stopped, and a conversion that still cannot get memory ends with "Out of Memory" on
// the reader's thread, as it would without threads.
void runScanner(Bzip2Decoder& decoder) {
    try {
        scanBlocks(decoder);
    } catch (const std::bad_alloc&) {
        // The blocks queued so far are still delivered.
    }
    std::lock_guard lock(decoder.mutex);
    decoder.scanFinished = true;
    decoder.changed.notify_all();
}

// Each block goes to our own block decoder first; whatever it does not take in full, the library decodes
// as a one-block stream and decides on, exactly as it would without our decoder.
void runWorker(Bzip2Decoder& decoder) {
    Bzip2BlockScratch scratch;
    for (;;) {
        BlockJob job;
        BlockResult result;
        {
            std::unique_lock lock(decoder.mutex);
            decoder.changed.wait(lock, [&] { return decoder.stopping || !decoder.jobs.empty(); });
            if (decoder.stopping) return;
            job = std::move(decoder.jobs.front());
            decoder.jobs.erase(decoder.jobs.begin());
            if (!decoder.spareBuffers.empty()) {
                result.bytes = std::move(decoder.spareBuffers.back());
                decoder.spareBuffers.pop_back();
            }
        }
        try {
            result.whole = decodeBzip2Block(job.bytes.data(), job.bytes.size(), job.beginBit, job.endBit,
                                            job.level, scratch, result.bytes, result.size);
            if (!result.whole) {
                std::vector<uint8_t> stream = oneBlockStream(job.bytes.data(), job.beginBit, job.endBit, job.level);
                result.whole = decodeOneBlockStream(stream, result.bytes, maxDecodedBlock);
                result.size = result.bytes.size();
            }
        } catch (const std::bad_alloc&) {
            result = BlockResult{};  // not decoded: the single-threaded filter takes over at this block
        }
        std::lock_guard lock(decoder.mutex);
        try {
            decoder.results[job.index] = std::move(result);
        } catch (const std::bad_alloc&) {
            decoder.exhausted = true;
        }
        decoder.changed.notify_all();
    }
}

// The threaded path can go no further: hand over to the single-threaded filter from the start of the file
// and skip what the reader already has. The filter is driven in exactly the pieces it would have produced
// from the start, so that a failure appears where, and as, it would have without threads.
void fallBack(Bzip2Decoder& decoder) {
    stopThreads(decoder);
    decoder.threaded = false;
    ++decoder.fallbacks;
    decoder.current = {};
    decoder.source.rewind(decoder.source.context);
    uint64_t produced = 0;
    while (produced < decoder.delivered) {
        size_t got = inflateInto(decoder.filter, decoder.source, decoder.pieceBuffer.data(), decoder.pieceBuffer.size());
        if (got == 0) return;  // reported when the reader asks for the next bytes
        produced += got;
        if (produced > decoder.delivered) {
            decoder.pendingStart = got - static_cast<size_t>(produced - decoder.delivered);
            decoder.pendingEnd = got;
        }
    }
}

// The next whole block from the workers; false when the threaded path has nothing more to give.
bool nextBlock(Bzip2Decoder& decoder) {
    std::unique_lock lock(decoder.mutex);
    decoder.changed.wait(lock, [&] {
        return decoder.results.count(decoder.nextToDeliver) != 0 ||
               (decoder.scanFinished && decoder.nextToDeliver >= decoder.blocksFound) || decoder.exhausted;
    });
    auto found = decoder.results.find(decoder.nextToDeliver);
    if (found == decoder.results.end() || !found->second.whole) return false;
    // Buffers of ordinary blocks are kept for the next ones; one that a block of long runs made huge is not.
    size_t capacity = decoder.current.bytes.capacity();
    if (capacity != 0 && capacity <= maxRecycledBuffer && decoder.spareBuffers.size() < decoder.maxInFlight) {
        decoder.spareBuffers.push_back(std::move(decoder.current.bytes));
    }
    decoder.current = std::move(found->second);
    decoder.results.erase(found);
    ++decoder.nextToDeliver;
    decoder.changed.notify_all();
    return true;
}

} // namespace

Bzip2Decoder::~Bzip2Decoder() {
    stopThreads(*this);
}

void destroyBzip2Decoder(Bzip2Decoder* decoder) { delete decoder; }

Bzip2DecoderPointer startBzip2Decoder(RunContext& run, ByteSource source, unsigned threads) {
    Bzip2DecoderPointer decoder(new Bzip2Decoder, destroyBzip2Decoder);
    decoder->run = &run;
    decoder->source = source;
    if (!startBzip2Filter(decoder->filter)) return {nullptr, destroyBzip2Decoder};
    decoder->pieceBuffer.resize(singlePieceSize);
    if (threads == 0) threads = std::max(2u, std::thread::hardware_concurrency());
    if (threads > 1) {
        decoder->threaded = true;
        decoder->maxInFlight = threads + 2;
        decoder->scanner = std::thread(runScanner, std::ref(*decoder));
        for (unsigned i = 0; i < threads; ++i) decoder->workers.emplace_back(runWorker, std::ref(*decoder));
    }
    return decoder;
}

DecodedPiece nextDecodedPiece(Bzip2Decoder& decoder) {
    while (decoder.threaded) {
        if (!nextBlock(decoder)) {
            fallBack(decoder);
            break;
        }
        if (decoder.current.size == 0) continue;
        decoder.delivered += decoder.current.size;
        return {decoder.current.bytes.data(), decoder.current.size};
    }
    if (decoder.pendingStart < decoder.pendingEnd) {
        DecodedPiece rest{decoder.pieceBuffer.data() + decoder.pendingStart, decoder.pendingEnd - decoder.pendingStart};
        decoder.delivered += rest.size;
        decoder.pendingStart = decoder.pendingEnd = 0;
        return rest;
    }
    size_t got = inflateInto(decoder.filter, decoder.source, decoder.pieceBuffer.data(), decoder.pieceBuffer.size());
    if (got == 0) {
        reportFilterFailure(decoder.filter, *decoder.run);
        return {};
    }
    decoder.delivered += got;
    return {decoder.pieceBuffer.data(), got};
}

bool reportWaitingFailure(Bzip2Decoder& decoder) {
    Bzip2Filter& filter = decoder.filter;
    bool damaged = filter.failure == FilterFailure::decompressFailed || filter.failure == FilterFailure::readFailed;
    if (!damaged || filter.reported) return false;
    reportFilterFailure(filter, *decoder.run);
    return true;
}

uint64_t compressedBytesRead(const Bzip2Decoder& decoder) {
    return decoder.threaded ? decoder.scannedBytes.load(std::memory_order_relaxed)
                            : decoder.filter.compressedBytesRead;
}

unsigned fallbackCount(const Bzip2Decoder& decoder) { return decoder.fallbacks; }

} // namespace catadump
