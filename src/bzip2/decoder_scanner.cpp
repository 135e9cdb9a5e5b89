// The scanner thread of the threaded decoder: reads the compressed data once, cuts it into blocks at their
// magics, stream after stream, and queues them for the workers, keeping the bytes a restart may need.
#include "bzip2/decoder_state.h"

#include <algorithm>
#include <bzlib.h>
#include <new>

#include "bzip2/bits.h"
#include "bzip2/crc.h"

namespace catadump {

namespace {

// Hands the job and its entry to the workers, waiting while too many blocks are ahead of the reader. False
// when stopping.
bool enqueue(Bzip2Decoder& d, BlockJob& job, BlockEntry& entry) {
    std::unique_lock lock(d.mutex);
    d.changed.wait(
        lock, [&] { return d.queue.stopping || d.queue.blocksFound - d.queue.nextToDeliver < d.maxAhead; });
    if (d.queue.stopping) return false;
    job.index = d.queue.blocksFound;
    auto placed = d.queue.blocks.emplace(job.index, std::move(entry)).first;
    try {
        d.queue.jobs.push_back(std::move(job));
    } catch (const std::bad_alloc&) {
        d.queue.blocks.erase(placed);
        throw;
    }
    ++d.queue.blocksFound;
    d.changed.notify_all();
    return true;
}

// The bytes of the window that hold the bits [beginBit, endBit), for the job.
void takeBits(Bzip2Decoder& d, BlockJob& job, uint64_t beginBit, uint64_t endBit) {
    size_t first = static_cast<size_t>(beginBit / 8);
    job.bytes.assign(d.scan.window.begin() + static_cast<std::ptrdiff_t>(first),
                     d.scan.window.begin() + static_cast<std::ptrdiff_t>((endBit + 7) / 8));
    job.beginBit = beginBit - uint64_t{first} * 8;
    job.endBit = endBit - uint64_t{first} * 8;
}

// Queues the block [beginBit, endBit) of the window for the workers. False when stopping.
bool queueBlock(Bzip2Decoder& d, uint64_t beginBit, uint64_t endBit, bool firstOfStream, bool last) {
    BlockJob job;
    takeBits(d, job, beginBit, endBit);
    job.level = d.scan.level;
    BlockEntry entry;
    entry.streamBit = d.scan.windowStart * 8 + beginBit;
    entry.endStreamBit = d.scan.windowStart * 8 + endBit;
    entry.crc = bitsAt(d.scan.window.data(), beginBit + 48);
    entry.first = firstOfStream;
    entry.last = last;
    return enqueue(d, job, entry);
}

// Reads the compressed data and cuts it into blocks, stream after stream: a stream header of the same block
// size right after a stream's check begins a stream whose blocks continue the data. Stops at the end of the
// data, or at anything that does not look like whole streams; the reader falls back once it runs past the
// last block.
void scanBlocks(Bzip2Decoder& d) {
    std::vector<uint8_t>& window = d.scan.window;  // compressed bytes from windowStart on
    uint64_t streamByte = 0;                       // absolute byte of the current stream's header
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
        d.scan.scannedBytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);

        marks.clear();
        uint64_t base = d.scan.windowStart * 8;
        findMagics(window.data(), window.size(), scannedTo - base, marks);
        if (window.size() >= 8) scannedTo = base + (window.size() - 7) * 8;
        if (d.scan.level == 0 && d.scan.windowStart + window.size() >= 4) {
            // Only a valid stream header gives the block size that every block is held to.
            int level = bzip2StreamLevel(window.data(), window.size());
            if (level == 0) return;
            std::lock_guard lock(d.mutex);
            d.scan.level = level;
            d.budget.scratchCost = scratchBytes(level);
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
                size_t header = static_cast<size_t>(streamByte - d.scan.windowStart);
                if (bzip2StreamLevel(window.data() + header, window.size() - header) != d.scan.level) return;
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
            uint32_t withThisBlock = combineBzip2Crc(combined, bitsAt(window.data(), blockStart - base + 48));
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
        if (blockStart != 0 && d.scan.windowStart + window.size() - blockStart / 8 > maxCompressedBlock) {
            return;
        }
        // Keep the bytes from the current block's start on (from its stream's header while none is found),
        // and from the block the reader has last.
        uint64_t keepFrom = blockStart != 0 ? blockStart / 8 : streamByte;
        {
            std::lock_guard lock(d.mutex);
            keepFrom = std::min(keepFrom, d.queue.retainFromByte);
        }
        if (keepFrom > d.scan.windowStart) {
            auto kept = window.begin() + static_cast<std::ptrdiff_t>(keepFrom - d.scan.windowStart);
            window.erase(window.begin(), kept);
            d.scan.windowStart = keepFrom;
        }
    }
}

// ---- under recovery ------------------------------------------------------------------------------------

// Where the recovering scan is: waiting for a stream header's bytes, inside a block, or past a span too
// long for a block, until the next magic.
enum class ScanAt { header, block, lost };

struct RecoveryScan {
    ScanAt at = ScanAt::header;
    uint64_t streamByte = 0;     // absolute byte of the stream header looked for
    uint64_t blockStart = 0;     // absolute bit where the open block begins
    bool firstOfStream = false;  // the open block is its stream's first
    bool anyStream = false;      // a stream header was read
    int level = 0;               // the block size digit of the stream the open block is in
};

// How a span of the data ends: at the next magic (an end magic, with the stream check after it), at the end
// of the data, or nowhere near (too long for a block).
struct SpanEnd {
    bool endsStream = false;
    uint32_t streamCrc = 0;
    bool cut = false;
    bool tooLong = false;
};

// Queues the open block, up to the absolute bit `endBit`, for the workers. False when stopping.
bool queueSpan(Bzip2Decoder& d, RecoveryScan& scan, uint64_t endBit, SpanEnd end) {
    uint64_t base = d.scan.windowStart * 8;
    BlockJob job;
    if (!end.tooLong) takeBits(d, job, scan.blockStart - base, endBit - base);
    job.level = scan.level;
    job.openEnd = end.cut;
    job.tooLong = end.tooLong;
    BlockEntry entry;
    entry.streamBit = scan.blockStart;
    entry.endStreamBit = endBit;
    // A span too short to hold a check has none to read (the bits past it may not be in the window).
    if (!end.tooLong && endBit - scan.blockStart >= 80) {
        entry.crc = bitsAt(d.scan.window.data(), scan.blockStart - base + 48);
    }
    entry.first = scan.firstOfStream;
    entry.endsStream = end.endsStream;
    entry.streamCrc = end.streamCrc;
    entry.cut = end.cut;
    scan.firstOfStream = false;
    return enqueue(d, job, entry);
}

// The data has ended, as the single-threaded filter would record it: the reader reports it when it asks past
// the last block.
void endData(Bzip2Decoder& d, FilterFailure failure, int code) {
    std::lock_guard lock(d.mutex);
    d.queue.dataEnd = failure;
    d.queue.dataEndCode = code;
}

enum class Header { wait, stream, end };

// The stream header at scan.streamByte, once its four bytes are in: a stream begins, whose first block
// follows the header at once. Anything else ends the data as for the single-threaded filter: the library
// refuses a first stream without its header, and after a stream it is the end of the data.
Header readStreamHeader(Bzip2Decoder& d, RecoveryScan& scan) {
    const std::vector<uint8_t>& window = d.scan.window;
    auto at = static_cast<size_t>(scan.streamByte - d.scan.windowStart);
    if (window.size() < at + 4) return Header::wait;
    int level = bzip2StreamLevel(window.data() + at, 4);
    if (level == 0) {
        if (scan.anyStream) {
            endData(d, FilterFailure::unexpectedEnd, BZ_STREAM_END);
        } else {
            endData(d, FilterFailure::decompressFailed, BZ_DATA_ERROR_MAGIC);
        }
        return Header::end;
    }
    scan.level = level;
    scan.anyStream = true;
    scan.at = ScanAt::block;
    scan.blockStart = scan.streamByte * 8 + 32;
    scan.firstOfStream = true;
    return Header::stream;
}

// The source has ended (or failed): a block still open is cut off there and goes to the workers all the
// same, whose coded data may have ended before the cut (only the stream's end mark lost).
void endOfSource(Bzip2Decoder& d, RecoveryScan& scan) {
    int code = d.source.lastError(d.source.context);
    if (scan.at == ScanAt::header) {
        // Fewer than four bytes where a header would begin.
        endData(d, scan.anyStream ? FilterFailure::unexpectedEnd : FilterFailure::readFailed,
                scan.anyStream ? BZ_STREAM_END : code);
        return;
    }
    uint64_t endBit = (d.scan.windowStart + d.scan.window.size()) * 8;
    if (scan.at == ScanAt::block && endBit > scan.blockStart) {
        SpanEnd end;
        end.cut = true;
        if (!queueSpan(d, scan, endBit, end)) return;
    }
    endData(d, FilterFailure::readFailed, code);
}

// Under recovery: cuts the compressed data at every magic, whatever lies between, so that each damaged
// block costs only itself. Every block magic begins a block that ends where the next magic begins; an end
// magic and the check after it end the stream, and a stream header at the byte after them begins the next
// (as without recovery, anything else there is the end of the data). A block that is no block (damaged,
// two blocks run together where a magic was lost, the end of a stream whose end magic was lost) fails on
// its worker and is left out by the reader; a span of 4 MB without a magic is given up at once.
void scanForRecovery(Bzip2Decoder& d) {
    {
        // Each stream has a block size of its own: the working memory counted is that of the largest.
        std::lock_guard lock(d.mutex);
        d.budget.scratchCost = scratchBytes(9);
    }
    std::vector<uint8_t>& window = d.scan.window;  // compressed bytes from windowStart on
    RecoveryScan scan;
    uint64_t scannedTo = 0;  // absolute bit from which magics are still to be looked for
    std::vector<MagicMark> marks;
    std::vector<uint8_t> chunk(scanChunkSize);
    for (;;) {
        int64_t got = d.source.read(d.source.context, chunk.data(), scanChunkSize);
        if (got <= 0) {
            endOfSource(d, scan);
            return;
        }
        window.insert(window.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        d.scan.scannedBytes.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        if (scan.at == ScanAt::header && readStreamHeader(d, scan) == Header::end) return;

        marks.clear();
        uint64_t base = d.scan.windowStart * 8;
        findMagics(window.data(), window.size(), std::max(scannedTo, base) - base, marks);
        if (window.size() >= 8) scannedTo = base + (window.size() - 7) * 8;
        uint64_t windowBits = uint64_t{window.size()} * 8;
        for (const MagicMark& mark : marks) {
            uint64_t bit = base + mark.bit;
            if (scan.at == ScanAt::header) {
                // A stream's end, whose next header is not in yet: the magics after it wait for it.
                scannedTo = scan.streamByte * 8;
                break;
            }
            // Magics in the header, or the open block's own.
            if (scan.at == ScanAt::block &&
                (bit < scan.blockStart || (bit == scan.blockStart && mark.kind == MagicKind::block))) {
                continue;
            }
            SpanEnd end;
            if (mark.kind == MagicKind::end) {
                if (mark.bit + 80 > windowBits) {
                    scannedTo = bit;  // look at this end magic again once its check is in
                    break;
                }
                end.endsStream = true;
                end.streamCrc = bitsAt(window.data(), mark.bit + 48);
            }
            if (scan.at == ScanAt::block && bit > scan.blockStart && !queueSpan(d, scan, bit, end)) return;
            if (mark.kind == MagicKind::block) {
                scan.at = ScanAt::block;
                scan.blockStart = bit;
                continue;
            }
            // The library takes a stream's bytes whole: a next stream begins at the byte after the check.
            scan.at = ScanAt::header;
            scan.streamByte = (bit + 80 + 7) / 8;
            if (readStreamHeader(d, scan) == Header::end) return;
        }
        if (scan.at == ScanAt::header) scannedTo = std::min(scannedTo, scan.streamByte * 8);
        if (scan.at == ScanAt::block &&
            d.scan.windowStart + window.size() - scan.blockStart / 8 > maxCompressedBlock) {
            SpanEnd end;
            end.tooLong = true;
            if (!queueSpan(d, scan, std::max(scannedTo, scan.blockStart), end)) return;
            scan.at = ScanAt::lost;
        }
        // Keep the bytes from the open block's start on, or the header's, or those still to be scanned.
        uint64_t keepFrom = scan.at == ScanAt::header  ? scan.streamByte
                            : scan.at == ScanAt::block ? scan.blockStart / 8
                                                       : std::max(scannedTo, base) / 8;
        if (keepFrom > d.scan.windowStart) {
            auto drop = static_cast<size_t>(std::min<uint64_t>(keepFrom - d.scan.windowStart, window.size()));
            window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(drop));
            d.scan.windowStart += drop;
        }
    }
}

}  // namespace

// Memory running out on a thread of the pipeline only ends the threaded path: the single-threaded filter
// takes over where it stopped, and a conversion that still cannot get memory ends with "Out of Memory" on
// the reader's thread, as it would without threads.
void runScanner(void* context) {
    auto& d = *static_cast<Bzip2Decoder*>(context);
    try {
        if (d.recovering) {
            scanForRecovery(d);
        } else {
            scanBlocks(d);
        }
    } catch (const std::bad_alloc&) {
        // The blocks queued so far are still delivered (under recovery, no end of the data is recorded, and
        // the reader ends the run after them).
    }
    std::lock_guard lock(d.mutex);
    d.queue.scanFinished = true;
    d.changed.notify_all();
}

}  // namespace catadump
