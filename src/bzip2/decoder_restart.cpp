// The fallback of the threaded decoder: when the threads can go no further, the single-threaded filter is
// restarted at the block where they stopped, on the bytes kept since, headed by a carrier block that brings
// the stream check along, and driven in the pieces it would have made from the start.
#include "bzip2/decoder_state.h"

#include "bzip2/crc.h"

namespace catadump {

namespace {

// How far the decoded offset is from the end of the filter's piece it falls in; the filter's pieces are
// counted from the first byte of each stream, since a piece ends with its stream.
uint64_t restOfPiece(uint64_t offset) { return (pieceSize - offset % pieceSize) % pieceSize; }

}  // namespace

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
        d.queue.blocks.clear();
        d.queue.jobs.clear();
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
        combined = combineBzip2Crc(d.handed.combinedBefore, d.handed.crc);
        decodedStart = d.handed.decodedStart + d.handed.size;
    }
    size_t carrier = 0;
    if (d.handedCount == 0) {
        addPiece(d.restart, d.scan.window.data(), d.scan.window.size());  // kept from the stream's first byte
    } else {
        if (!restartHead(d.scan.level, combined, static_cast<int>(restartBit % 8), d.head)) {
            fatal("Out of Memory\n");
        }
        size_t at = static_cast<size_t>(restartBit / 8 - d.scan.windowStart);
        if (restartBit % 8 != 0) {
            // The byte the block begins in: the carrier's last bits, then the block's first.
            d.head.bytes.back() |= static_cast<uint8_t>(d.scan.window[at] & (0xFFu >> (restartBit % 8)));
            ++at;
        }
        addPiece(d.restart, d.head.bytes.data(), d.head.bytes.size());
        addPiece(d.restart, d.scan.window.data() + at, d.scan.window.size() - at);
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

}  // namespace catadump
