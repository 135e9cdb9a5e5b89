#include "bzip2/decoder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "bzip2/bits.h"
#include "bzip2/block_decoder.h"
#include "bzip2/blocks.h"
#include "bzip2/filter.h"

namespace catadump {

namespace {

// The single-threaded filter produces the decoded data in pieces of this size, counted from its first
// byte; a restart keeps to the same pieces, with room before the first for the carrier block's bytes.
constexpr size_t pieceSize = size_t{1} << 20;
constexpr size_t pieceRoom = pieceSize + 256;
constexpr size_t scanChunkSize = size_t{1} << 20;
// A compressed block of the largest block size stays well below this; anything longer is no real stream.
constexpr size_t maxCompressedBlock = size_t{4} << 20;
// One block decodes to at most about 46 MB (900,000 bytes before the run-length stage).
constexpr size_t maxDecodedBlock = size_t{48} << 20;
// Output buffers up to this size go back to the workers once the reader is done with them.
constexpr size_t maxRecycledBuffer = size_t{8} << 20;
// Blocks found and not yet taken by the reader: their compressed bytes are kept until then.
constexpr unsigned maxBlocksAhead = 16;

// The working memory of one block decode, counted against the budget: our decoder's links, text and chain
// pieces (7 bytes a symbol at most), and the library's own (4 a symbol) when it decodes the block instead.
size_t scratchBytes(int level) { return size_t{11} * 100000 * static_cast<size_t>(level); }

// The stream's check: every block's CRC folded in, in order, as the library does.
uint32_t combineCrc(uint32_t combined, uint32_t blockCrc) { return (combined << 1 | combined >> 31) ^ blockCrc; }

// A block's compressed bytes, from the byte that holds its magic's first bit to the byte that holds its
// last bit, and where in them the block's bits lie.
struct BlockJob {
    uint64_t index = 0;
    std::vector<uint8_t> bytes;
    uint64_t beginBit = 0;
    uint64_t endBit = 0;
    int level = 0;  // the stream header's block size digit
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
    bool settled = false;       // room for its bytes was granted, or it needs none
    bool done = false;
    bool whole = false;         // decoded, and its check held
    DecodedBuffer buffer;       // counted in the held bytes
    size_t size = 0;
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
    bool withheld = false;        // its last byte was kept back, because the library fails right there
};

} // namespace

struct Bzip2Decoder {
    RunContext* run = nullptr;
    std::vector<uint8_t> taken;  // the bytes of the stream the caller had read already
    ChainedInput input;          // they, then the caller's source
    ByteSource source;           // reads `input`: everything below reads the compressed data through it
    Bzip2Filter filter;          // the single-threaded path, set up at the start, fed only after a fallback
    ByteSource filterSource;     // what the filter reads: `source`, or the restart stream
    ChainedInput restart;        // after a fallback: the restart head, the kept bytes, then `source`
    RestartHead head;
    std::vector<uint8_t> pieceBuffer;
    bool threaded = false;
    unsigned fallbacks = 0;
    uint64_t delivered = 0;      // decoded bytes handed to the reader
    size_t pendingStart = 0;     // after a fallback: bytes of pieceBuffer not yet handed out
    size_t pendingEnd = 0;

    // The reader's side of the threaded path.
    BlockEntry current;  // the block handed out last
    HandedBlock handed;
    uint64_t handedCount = 0;

    // The scanner's compressed bytes, kept from the block handed out last on, for a restart. Only the
    // scanner touches them while it runs.
    std::vector<uint8_t> window;
    uint64_t windowStart = 0;  // byte offset of window[0] in the compressed data
    int level = 0;             // the stream header's block size digit, once read

    // The threads; everything from the mutex on is shared with them.
    unsigned maxAhead = 0;
    std::thread scanner;
    std::vector<std::thread> workers;
    std::atomic<uint64_t> scannedBytes{0};
    mutable std::mutex mutex;  // also taken by the const look-ups for tests
    std::condition_variable changed;
    std::deque<BlockJob> jobs;              // waiting for a worker, by index
    std::map<uint64_t, BlockEntry> blocks;  // found and not yet taken by the reader
    uint64_t blocksFound = 0;
    uint64_t nextToDeliver = 0;
    uint64_t nextToSettle = 0;     // room is granted in block order, so the oldest is never starved
    uint64_t retainFromByte = 0;   // the scanner keeps its bytes from here on
    bool scanFinished = false;
    bool stopping = false;
    bool exhausted = false;        // memory ran out on a worker: no block after those done will come
    unsigned workersStarted = 0;
    // The budget of decoded bytes.
    size_t held = 0;
    size_t peakHeld = 0;
    size_t scratchCost = 0;        // of one block decode, once the level is known
    unsigned scratchesInUse = 0;
    bool pressure = false;         // the oldest block waits for room: every other decode gives way
    std::array<size_t, 4> recentSizes{};  // decoded sizes of the blocks done last; 0 before any
    size_t recentCount = 0;
    std::vector<std::unique_ptr<Bzip2BlockScratch>> scratchPool;  // counted in `held`
    std::vector<DecodedBuffer> spareBuffers;                      // counted in `held`

    ~Bzip2Decoder();
};

namespace {

// ---- the budget (all under the mutex) ------------------------------------------------------------------

void hold(Bzip2Decoder& d, size_t bytes) {
    d.held += bytes;
    d.peakHeld = std::max(d.peakHeld, d.held);
}

void release(Bzip2Decoder& d, size_t bytes) {
    d.held -= std::min(d.held, bytes);
    d.changed.notify_all();
}

void releaseBuffer(Bzip2Decoder& d, DecodedBuffer& buffer) {
    release(d, buffer.capacity);
    buffer = {};
}

// Buffers and working memory kept for reuse give way to a block that needs the room.
void dropKeptMemory(Bzip2Decoder& d) {
    for (DecodedBuffer& spare : d.spareBuffers) releaseBuffer(d, spare);
    d.spareBuffers.clear();
    release(d, d.scratchCost * d.scratchPool.size());
    d.scratchPool.clear();
}

// The largest block of late: how much a decode started now is expected to need. 0 before any is done.
size_t expectedBlockBytes(const Bzip2Decoder& d) {
    return *std::max_element(d.recentSizes.begin(), d.recentSizes.end());
}

// Whether a worker may take the first waiting job. The oldest block not yet settled always may once there
// is room for its working memory, and asks the others to make room when there is not; while another decode
// is running, new working memory is taken for it only if a block of the size seen lately fits as well (on
// blocks of long runs, it waits for the running decode's instead). Any other block starts only
// when its working memory and such a block fit. Before any block is done, only the oldest is decoded: the
// first block tells how large the blocks are.
bool mayStartJob(Bzip2Decoder& d) {
    if (d.jobs.empty() || d.exhausted) return false;
    size_t need = d.scratchPool.empty() ? d.scratchCost : 0;
    size_t expected = expectedBlockBytes(d);
    bool roomForBlock = expected != 0 && d.held + need + expected <= decodedBytesBudget;
    if (d.jobs.front().index == d.nextToSettle) {
        if (need == 0) return true;
        if (d.held + need > decodedBytesBudget) dropKeptMemory(d);
        if (d.held + need <= decodedBytesBudget && (d.scratchesInUse == 0 || roomForBlock)) return true;
        d.pressure = true;  // the running decodes give up their later blocks, or finish, and make room
        return false;
    }
    return !d.pressure && roomForBlock;
}

std::unique_ptr<Bzip2BlockScratch> takeScratch(Bzip2Decoder& d) {
    std::unique_ptr<Bzip2BlockScratch> scratch;
    if (!d.scratchPool.empty()) {
        scratch = std::move(d.scratchPool.back());
        d.scratchPool.pop_back();
    } else {
        scratch.reset(new (std::nothrow) Bzip2BlockScratch);
        if (scratch) hold(d, d.scratchCost);
    }
    if (scratch) ++d.scratchesInUse;
    return scratch;
}

void giveBackScratch(Bzip2Decoder& d, std::unique_ptr<Bzip2BlockScratch>& scratch) {
    if (!scratch) return;
    --d.scratchesInUse;
    if (!d.pressure && d.held <= decodedBytesBudget && d.scratchPool.size() < d.scratchPool.capacity()) {
        d.scratchPool.push_back(std::move(scratch));  // capacity reserved: cannot throw
    } else {
        scratch.reset();
        release(d, d.scratchCost);
    }
    d.changed.notify_all();
}

// Settled blocks let the next ones be granted room.
void settle(Bzip2Decoder& d, BlockEntry& entry) {
    entry.settled = true;
    uint64_t before = d.nextToSettle;
    for (auto next = d.blocks.find(d.nextToSettle); next != d.blocks.end() && next->second.settled;
         next = d.blocks.find(d.nextToSettle)) {
        ++d.nextToSettle;
    }
    if (d.nextToSettle != before) d.pressure = false;  // the block that needed the room has it
    d.changed.notify_all();
}

// Memory ran out on a worker: the threaded path ends after the blocks already done.
void endForWantOfMemory(Bzip2Decoder& d) {
    d.exhausted = true;
    d.changed.notify_all();
}

// ---- the threads ---------------------------------------------------------------------------------------

void stopThreads(Bzip2Decoder& d) {
    {
        std::lock_guard lock(d.mutex);
        d.stopping = true;
    }
    d.changed.notify_all();
    if (d.scanner.joinable()) d.scanner.join();
    for (std::thread& worker : d.workers) worker.join();
    d.workers.clear();
}

// Queues the block [beginBit, endBit) of the window for the workers, waiting while too many blocks are
// ahead of the reader. False when stopping.
bool queueBlock(Bzip2Decoder& d, uint64_t beginBit, uint64_t endBit, bool firstOfStream, bool last) {
    size_t first = static_cast<size_t>(beginBit / 8);
    BlockJob job;
    job.bytes.assign(d.window.begin() + static_cast<std::ptrdiff_t>(first),
                     d.window.begin() + static_cast<std::ptrdiff_t>((endBit + 7) / 8));
    job.beginBit = beginBit - uint64_t{first} * 8;
    job.endBit = endBit - uint64_t{first} * 8;
    job.level = d.level;
    BlockEntry entry;
    entry.streamBit = d.windowStart * 8 + beginBit;
    entry.endStreamBit = d.windowStart * 8 + endBit;
    entry.crc = bitsAt(d.window.data(), beginBit + 48);
    entry.first = firstOfStream;
    entry.last = last;
    std::unique_lock lock(d.mutex);
    d.changed.wait(lock, [&] { return d.stopping || d.blocksFound - d.nextToDeliver < d.maxAhead; });
    if (d.stopping) return false;
    job.index = d.blocksFound;
    auto placed = d.blocks.emplace(job.index, std::move(entry)).first;
    try {
        d.jobs.push_back(std::move(job));
    } catch (const std::bad_alloc&) {
        d.blocks.erase(placed);
        throw;
    }
    ++d.blocksFound;
    d.changed.notify_all();
    return true;
}

// Reads the compressed data and cuts it into blocks, stream after stream: a stream header of the same block
// size right after a stream's check begins a stream whose blocks continue the data. Stops at the end of the
// data, or at anything that does not look like whole streams; the reader falls back once it runs past the
// last block.
void scanBlocks(Bzip2Decoder& d) {
    std::vector<uint8_t>& window = d.window;  // compressed bytes from windowStart on
    uint64_t streamByte = 0;     // absolute byte of the current stream's header
    uint64_t blockStart = 0;     // absolute bit of the current block's magic; 0 until its stream's first
    bool firstOfStream = false;  // the current block is its stream's first
    uint64_t scannedTo = 0;      // absolute bit from which magics are still to be looked for
    uint32_t combined = 0;       // the stream check over the current stream's blocks queued so far
    std::vector<MagicMark> marks;
    // Read into a chunk of its own: a source that gives a few bytes at a time (a pipe) costs no more than
    // the bytes it gives.
    std::vector<uint8_t> chunk(scanChunkSize);
    for (;;) {
        int64_t got = d.source.read(d.source.context, chunk.data(), scanChunkSize);
        if (got <= 0) break;
        window.insert(window.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        d.scannedBytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);

        marks.clear();
        uint64_t base = d.windowStart * 8;
        findMagics(window.data(), window.size(), scannedTo - base, marks);
        if (window.size() >= 8) scannedTo = base + (window.size() - 7) * 8;
        if (d.level == 0 && d.windowStart + window.size() >= 4) {
            // Only a valid stream header gives the block size that every block is held to.
            int level = bzip2StreamLevel(window.data(), window.size());
            if (level == 0) return;
            std::lock_guard lock(d.mutex);
            d.level = level;
            d.scratchCost = scratchBytes(level);
        }
        uint64_t windowBits = uint64_t{window.size()} * 8;
        for (const MagicMark& mark : marks) {
            uint64_t bit = base + mark.bit;
            uint64_t at = bit - base;
            if (blockStart == 0) {
                // A stream's first magic follows its header at once; magics that begin earlier lie in the
                // check of the stream before or in the header. A later stream must have the first one's
                // block size (the pipeline's working memory is sized by it).
                uint64_t firstBit = streamByte * 8 + 32;
                if (bit < firstBit) continue;
                if (bit != firstBit) return;  // no stream we can cut
                size_t header = static_cast<size_t>(streamByte - d.windowStart);
                if (bzip2StreamLevel(window.data() + header, window.size() - header) != d.level) return;
                if (mark.kind == MagicKind::block) {
                    blockStart = bit;
                    firstOfStream = true;
                    continue;
                }
                // A stream without blocks, whose check is that of no block at all.
                if (at + 80 > windowBits) {
                    scannedTo = bit;
                    break;
                }
                if (bitsAt(window.data(), at + 48) != 0) return;
                streamByte = (bit + 80 + 7) / 8;
                continue;
            }
            // A magic inside the block's own CRC is no block boundary, and a CRC not yet read cannot be
            // combined: both leave the rest to the single-threaded filter.
            if (at < blockStart - base + 80 || blockStart - base + 80 > windowBits) return;
            uint32_t withThisBlock = combineCrc(combined, bitsAt(window.data(), blockStart - base + 48));
            if (mark.kind == MagicKind::end) {
                // The stream check follows the end magic. A stream cut inside it, or whose blocks do not
                // add up to it, leaves its last block to the single-threaded filter, which reports that.
                if (at + 80 > windowBits) {
                    scannedTo = bit;  // look at this end magic again once more bytes are in
                    break;
                }
                if (bitsAt(window.data(), at + 48) != withThisBlock) return;
                if (!queueBlock(d, blockStart - base, at, firstOfStream, true)) return;
                // The library takes a stream's bytes whole: a next stream begins at the byte after the check.
                streamByte = (bit + 80 + 7) / 8;
                blockStart = 0;
                combined = 0;
                continue;
            }
            if (!queueBlock(d, blockStart - base, at, firstOfStream, false)) return;
            firstOfStream = false;
            combined = withThisBlock;
            blockStart = bit;
        }
        if (blockStart == 0 && scannedTo > streamByte * 8 + 32) return;
        if (blockStart != 0 && d.windowStart + window.size() - blockStart / 8 > maxCompressedBlock) return;
        // Keep the bytes from the current block's start on (from its stream's header while none is found),
        // and from the block the reader has last.
        uint64_t keepFrom = blockStart != 0 ? blockStart / 8 : streamByte;
        {
            std::lock_guard lock(d.mutex);
            keepFrom = std::min(keepFrom, d.retainFromByte);
        }
        if (keepFrom > d.windowStart) {
            window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(keepFrom - d.windowStart));
            d.windowStart = keepFrom;
        }
    }
}

// Memory running out on a thread of the pipeline only ends the threaded path: the single-threaded filter
// takes over where it stopped, and a conversion that still cannot get memory ends with "Out of Memory" on
// the reader's thread, as it would without threads.
void runScanner(void* context) {
    auto& d = *static_cast<Bzip2Decoder*>(context);
    try {
        scanBlocks(d);
    } catch (const std::bad_alloc&) {
        // The blocks queued so far are still delivered.
    }
    std::lock_guard lock(d.mutex);
    d.scanFinished = true;
    d.changed.notify_all();
}

void publishVerdict(Bzip2Decoder& d, uint64_t index, Verdict verdict) {
    std::lock_guard lock(d.mutex);
    BlockEntry& entry = d.blocks.at(index);
    if (entry.verdict == Verdict::unknown) entry.verdict = verdict;
    d.changed.notify_all();
}

enum class Route { none, ours, library };

// The first two stages of a block, which need no room for its bytes: what the library would make of it,
// and how many bytes it gives. Each block goes to our own block decoder first; whatever it does not take,
// the library decodes as a one-block stream and decides on, exactly as it would without our decoder.
Route examineBlock(Bzip2Decoder& d, const BlockJob& job, Bzip2BlockScratch& scratch, std::vector<uint8_t>& oneBlock,
                   size_t& length) {
    bool decodes = false;
    try {
        if (decodeBzip2Symbols(job.bytes.data(), job.bytes.size(), job.beginBit, job.endBit, job.level, scratch)) {
            decodes = true;
            publishVerdict(d, job.index, Verdict::decodes);
            if (measureBzip2Block(scratch, length)) return Route::ours;
        }
        oneBlock = oneBlockStream(job.bytes.data(), job.beginBit, job.endBit, job.level);
        OneBlockOutcome outcome = measureOneBlockStream(oneBlock, maxDecodedBlock);
        if (!decodes) {
            bool refused = outcome.verdict == OneBlockVerdict::failedBeforeBytes;
            publishVerdict(d, job.index, refused ? Verdict::refused : Verdict::decodes);
        }
        length = outcome.size;
        return outcome.verdict == OneBlockVerdict::whole ? Route::library : Route::none;
    } catch (const std::bad_alloc&) {
        publishVerdict(d, job.index, Verdict::refused);  // not decoded: the filter decides at this block
        return Route::none;
    }
}

// Waits for the block's turn and room for its bytes. False when the worker is to give the job up: another,
// older block needs the room (the job then waits for a worker again) or the pipeline stops.
bool grantRoom(Bzip2Decoder& d, std::unique_lock<std::mutex>& lock, BlockJob& job, size_t length,
               DecodedBuffer& buffer) {
    for (;;) {
        if (d.stopping) return false;
        if (job.index == d.nextToSettle) {
            for (size_t i = 0; i < d.spareBuffers.size(); ++i) {
                if (d.spareBuffers[i].capacity >= length) {
                    buffer = std::move(d.spareBuffers[i]);
                    d.spareBuffers.erase(d.spareBuffers.begin() + static_cast<std::ptrdiff_t>(i));
                    return true;
                }
            }
            if (d.held + length <= decodedBytesBudget) {
                hold(d, length);
                buffer.capacity = length;
                return true;
            }
            dropKeptMemory(d);
            d.pressure = true;
            d.changed.notify_all();
        } else if (d.pressure) {
            auto place = std::find_if(d.jobs.begin(), d.jobs.end(), [&](const BlockJob& waiting) {
                return waiting.index > job.index;
            });
            d.jobs.insert(place, std::move(job));  // may throw: the worker's catch ends the threaded path
            d.changed.notify_all();
            return false;
        }
        d.changed.wait(lock);
    }
}

// Decodes one job into its block entry, or gives it back to the queue.
void decodeJob(Bzip2Decoder& d, BlockJob& job, std::unique_ptr<Bzip2BlockScratch>& scratch) {
    std::vector<uint8_t> oneBlock;
    size_t length = 0;
    Route route = examineBlock(d, job, *scratch, oneBlock, length);
    DecodedBuffer buffer;
    uint64_t index = job.index;
    {
        std::unique_lock lock(d.mutex);
        if (route == Route::none) {
            BlockEntry& entry = d.blocks.at(index);
            entry.done = true;
            settle(d, entry);
            giveBackScratch(d, scratch);
            return;
        }
        if (!grantRoom(d, lock, job, length, buffer)) {
            giveBackScratch(d, scratch);
            return;
        }
        settle(d, d.blocks.at(index));
    }
    bool whole = false;
    try {
        if (!buffer.data) buffer.data.reset(new uint8_t[buffer.capacity]);
        whole = route == Route::ours ? finishBzip2Block(*scratch, buffer.data.get(), length)
                                     : decodeOneBlockStreamInto(oneBlock, buffer.data.get(), length);
    } catch (const std::bad_alloc&) {
        whole = false;  // not decoded: the single-threaded filter takes over at this block
    }
    std::lock_guard lock(d.mutex);
    BlockEntry& entry = d.blocks.at(index);
    entry.done = true;
    entry.whole = whole && length > 0;
    if (entry.whole) {
        entry.buffer = std::move(buffer);
        entry.size = length;
        d.recentSizes[d.recentCount++ % d.recentSizes.size()] = length;
    } else {
        releaseBuffer(d, buffer);
    }
    giveBackScratch(d, scratch);
}

void runWorker(void* context) {
    auto& d = *static_cast<Bzip2Decoder*>(context);
    for (;;) {
        BlockJob job;
        std::unique_ptr<Bzip2BlockScratch> scratch;
        {
            std::unique_lock lock(d.mutex);
            d.changed.wait(lock, [&] { return d.stopping || mayStartJob(d); });
            if (d.stopping) return;
            scratch = takeScratch(d);
            if (!scratch) {
                endForWantOfMemory(d);  // the reader falls back at the first block not done
                return;
            }
            job = std::move(d.jobs.front());
            d.jobs.pop_front();
        }
        try {
            decodeJob(d, job, scratch);
        } catch (const std::bad_alloc&) {
            std::lock_guard lock(d.mutex);
            endForWantOfMemory(d);  // a job could not be given back to the queue
            return;
        }
    }
}

// ---- the reader's side ---------------------------------------------------------------------------------

// The reader is done with the block it had: its buffer goes back to the workers, or is freed.
void releaseCurrent(Bzip2Decoder& d) {
    DecodedBuffer& buffer = d.current.buffer;
    if (!buffer.data) return;
    if (buffer.capacity <= maxRecycledBuffer && !d.pressure && d.spareBuffers.size() < d.spareBuffers.capacity()) {
        d.spareBuffers.push_back(std::move(buffer));  // capacity reserved: cannot throw
        buffer = {};
        d.changed.notify_all();
    } else {
        releaseBuffer(d, buffer);
    }
}

// Takes the next block from the workers into `current`; false when the threaded path has nothing more to
// give. The library reads a block's header and coded data in the call that produces the last byte of the
// block before, and when it fails there, that byte is held back: so the last byte is handed over only when
// the block after it would pass, or when the stream's end follows, checked.
bool takeNextBlock(Bzip2Decoder& d) {
    std::unique_lock lock(d.mutex);
    releaseCurrent(d);
    uint64_t k = d.nextToDeliver;
    auto ended = [&](uint64_t index) { return (d.scanFinished && index >= d.blocksFound) || d.exhausted; };
    d.changed.wait(lock, [&] {
        auto found = d.blocks.find(k);
        return (found != d.blocks.end() && found->second.done) || ended(k);
    });
    auto found = d.blocks.find(k);
    if (found == d.blocks.end() || !found->second.whole) return false;
    BlockEntry& entry = found->second;
    d.changed.wait(lock, [&] {
        auto next = d.blocks.find(k + 1);
        return entry.last || (next != d.blocks.end() && next->second.verdict != Verdict::unknown) || ended(k + 1);
    });
    auto next = d.blocks.find(k + 1);
    bool withheld = !entry.last && (next == d.blocks.end() || next->second.verdict != Verdict::decodes);

    HandedBlock before = d.handed;
    d.handed.streamBit = entry.streamBit;
    d.handed.endStreamBit = entry.endStreamBit;
    d.handed.crc = entry.crc;
    d.handed.combinedBefore = entry.first ? 0 : combineCrc(before.combinedBefore, before.crc);
    d.handed.decodedStart = d.handedCount == 0 ? 0 : before.decodedStart + before.size;
    d.handed.streamStart = entry.first ? d.handed.decodedStart : before.streamStart;
    d.handed.size = entry.size;
    d.handed.withheld = withheld;
    ++d.handedCount;
    d.current = std::move(entry);
    d.blocks.erase(found);
    ++d.nextToDeliver;
    d.retainFromByte = d.handed.streamBit / 8;
    d.changed.notify_all();
    return true;
}

// How far the decoded offset is from the end of the filter's piece it falls in; the filter's pieces are
// counted from the first byte of each stream, since a piece ends with its stream.
uint64_t restOfPiece(uint64_t offset) { return (pieceSize - offset % pieceSize) % pieceSize; }

// The threaded path can go no further: the single-threaded filter takes over at the block where it
// stopped, on a stream of that block and everything after it, and skips what the reader already has. It is
// driven in the pieces it would have produced from the start of the stream, so that a failure appears
// where, and as, it would have without threads.
void fallBack(Bzip2Decoder& d) {
    stopThreads(d);
    d.threaded = false;
    ++d.fallbacks;
    {
        std::lock_guard lock(d.mutex);
        releaseCurrent(d);
        dropKeptMemory(d);
        d.blocks.clear();
        d.jobs.clear();
    }
    uint64_t restartBit = 0;
    uint64_t decodedStart = 0;
    uint64_t streamStart = d.handed.streamStart;
    uint32_t combined = 0;
    if (d.handedCount > 0 && d.handed.withheld) {
        restartBit = d.handed.streamBit;
        combined = d.handed.combinedBefore;
        decodedStart = d.handed.decodedStart;
    } else if (d.handedCount > 0) {
        restartBit = d.handed.endStreamBit;
        combined = combineCrc(d.handed.combinedBefore, d.handed.crc);
        decodedStart = d.handed.decodedStart + d.handed.size;
    }
    size_t carrier = 0;
    if (d.handedCount == 0) {
        addPiece(d.restart, d.window.data(), d.window.size());  // kept from the stream's first byte
    } else {
        if (!restartHead(d.level, combined, static_cast<int>(restartBit % 8), d.head)) fatal("Out of Memory\n");
        size_t at = static_cast<size_t>(restartBit / 8 - d.windowStart);
        if (restartBit % 8 != 0) {
            // The byte the block begins in: the carrier's last bits, then the block's first.
            d.head.bytes.back() |= static_cast<uint8_t>(d.window[at] & (0xFFu >> (restartBit % 8)));
            ++at;
        }
        addPiece(d.restart, d.head.bytes.data(), d.head.bytes.size());
        addPiece(d.restart, d.window.data() + at, d.window.size() - at);
        carrier = d.head.decodedBytes;
    }
    d.restart.rest = d.source;
    d.filterSource = chainedSource(d.restart);

    uint64_t skip = carrier + (d.delivered - decodedStart);
    if (skip == 0) return;
    // The first call ends where the piece that the restart block's first byte falls in ends.
    size_t ask = carrier + static_cast<size_t>(restOfPiece(decodedStart - streamStart));
    for (;;) {
        size_t got = inflateInto(d.filter, d.filterSource, d.pieceBuffer.data(), ask);
        if (got > skip) {
            d.pendingStart = static_cast<size_t>(skip);
            d.pendingEnd = got;
            return;
        }
        skip -= got;
        // A failure is reported when the reader asks for the next bytes; a skip that ends with a piece
        // leaves the next piece for the reader to ask for.
        if (got < ask || skip == 0) return;
        ask = pieceSize;
    }
}

void startThreads(Bzip2Decoder& d, unsigned threads) {
    d.maxAhead = std::min(threads + 2, maxBlocksAhead);
    try {
        d.workers.reserve(threads);
        d.scratchPool.reserve(threads);
        d.spareBuffers.reserve(d.maxAhead);
    } catch (const std::bad_alloc&) {
        return;  // the single-threaded filter alone
    }
    for (unsigned i = 0; i < threads; ++i) {
        std::thread worker;
        if (!d.run->startThread(worker, runWorker, &d)) break;
        d.workers.push_back(std::move(worker));  // capacity reserved: cannot throw
    }
    d.workersStarted = static_cast<unsigned>(d.workers.size());
    if (d.workers.empty()) return;
    if (!d.run->startThread(d.scanner, runScanner, &d)) {
        stopThreads(d);
        return;
    }
    d.threaded = true;
}

} // namespace

Bzip2Decoder::~Bzip2Decoder() { stopThreads(*this); }

void destroyBzip2Decoder(Bzip2Decoder* decoder) { delete decoder; }

Bzip2DecoderPointer startBzip2Decoder(RunContext& run, ByteSource source, std::vector<uint8_t> taken,
                                      unsigned threads) {
    Bzip2DecoderPointer decoder(new (std::nothrow) Bzip2Decoder, destroyBzip2Decoder);
    if (!decoder) return decoder;
    Bzip2Decoder& d = *decoder;
    d.run = &run;
    d.taken = std::move(taken);
    addPiece(d.input, d.taken.data(), d.taken.size());
    d.input.rest = source;
    d.source = chainedSource(d.input);
    d.filterSource = d.source;
    if (!startBzip2Filter(d.filter)) return {nullptr, destroyBzip2Decoder};
    d.pieceBuffer.resize(pieceRoom);
    if (threads == 0) threads = std::max(2u, std::thread::hardware_concurrency());
    // No more workers than the budget lets decode blocks of the largest size at once: others would only
    // wait, each holding memory beside the budget.
    threads = std::min(threads, static_cast<unsigned>(decodedBytesBudget / scratchBytes(9)));
    if (threads > 1) startThreads(d, threads);
    return decoder;
}

DecodedPiece nextDecodedPiece(Bzip2Decoder& d) {
    while (d.threaded) {
        if (d.handedCount > 0 && d.handed.withheld) {
            fallBack(d);  // the filter decides on the byte kept back
            break;
        }
        if (!takeNextBlock(d)) {
            fallBack(d);
            break;
        }
        size_t size = d.handed.size - (d.handed.withheld ? 1 : 0);
        if (size == 0) continue;
        d.delivered += size;
        return {d.current.buffer.data.get(), size};
    }
    if (d.pendingStart < d.pendingEnd) {
        DecodedPiece rest{d.pieceBuffer.data() + d.pendingStart, d.pendingEnd - d.pendingStart};
        d.delivered += rest.size;
        d.pendingStart = d.pendingEnd = 0;
        return rest;
    }
    size_t got = inflateInto(d.filter, d.filterSource, d.pieceBuffer.data(), pieceSize);
    if (got == 0) {
        reportFilterFailure(d.filter, *d.run);
        return {};
    }
    d.delivered += got;
    return {d.pieceBuffer.data(), got};
}

bool reportWaitingFailure(Bzip2Decoder& d) {
    // The reader stopped right before a byte kept back: the filter finds out what the library says there.
    if (d.threaded && d.handedCount > 0 && d.handed.withheld) fallBack(d);
    // Bytes the filter produced that the reader has not had: it did not stop where the data stops.
    if (d.pendingStart < d.pendingEnd) return false;
    Bzip2Filter& filter = d.filter;
    bool damaged = filter.failure == FilterFailure::decompressFailed || filter.failure == FilterFailure::readFailed;
    if (!damaged || filter.reported) return false;
    reportFilterFailure(filter, *d.run);
    return true;
}

uint64_t compressedBytesRead(const Bzip2Decoder& d) {
    if (d.threaded) return d.scannedBytes.load(std::memory_order_relaxed);
    if (d.fallbacks > 0) return d.scannedBytes.load(std::memory_order_relaxed) + d.restart.restBytes;
    return d.filter.compressedBytesRead;
}

unsigned fallbackCount(const Bzip2Decoder& d) { return d.fallbacks; }

unsigned workerCount(const Bzip2Decoder& d) { return d.workersStarted; }

size_t peakDecodedBytes(const Bzip2Decoder& d) {
    // The workers may still be decoding ahead of a reader that stopped early.
    std::lock_guard lock(d.mutex);
    return d.peakHeld;
}

} // namespace catadump
