// The reader's side of the threaded decoder: takes the decoded blocks in order, holding back a block's last
// byte where the library would fail right after it, and hands out the pieces of the single-threaded filter
// once it has taken over; with the public calls of the decoder that the reader makes.
#include "bzip2/decoder_state.h"

#include "bzip2/crc.h"

namespace catadump {

namespace {

// Takes the next block from the workers into `current`; false when the threaded path has nothing more to
// give. The library reads a block's header and coded data in the call that produces the last byte of the
// block before, and when it fails there, that byte is held back: so the last byte is handed over only when
// the block after it would pass, or when the stream's end follows, checked.
bool takeNextBlock(Bzip2Decoder& d) {
    std::unique_lock lock(d.mutex);
    releaseCurrent(d);
    uint64_t k = d.queue.nextToDeliver;
    auto ended = [&](uint64_t index) {
        return (d.queue.scanFinished && index >= d.queue.blocksFound) || d.queue.exhausted;
    };
    d.changed.wait(lock, [&] {
        auto found = d.queue.blocks.find(k);
        return (found != d.queue.blocks.end() && found->second.done) || ended(k);
    });
    auto found = d.queue.blocks.find(k);
    if (found == d.queue.blocks.end() || !found->second.whole) return false;
    BlockEntry& entry = found->second;
    d.changed.wait(lock, [&] {
        auto next = d.queue.blocks.find(k + 1);
        return entry.last || (next != d.queue.blocks.end() && next->second.verdict != Verdict::unknown) ||
               ended(k + 1);
    });
    auto next = d.queue.blocks.find(k + 1);
    bool withheld = !entry.last && (next == d.queue.blocks.end() || next->second.verdict != Verdict::decodes);

    HandedBlock before = d.handed;
    d.handed.streamBit = entry.streamBit;
    d.handed.endStreamBit = entry.endStreamBit;
    d.handed.crc = entry.crc;
    d.handed.combinedBefore = entry.first ? 0 : combineBzip2Crc(before.combinedBefore, before.crc);
    d.handed.decodedStart = d.handedCount == 0 ? 0 : before.decodedStart + before.size;
    d.handed.streamStart = entry.first ? d.handed.decodedStart : before.streamStart;
    d.handed.size = entry.size;
    d.handed.withheld = withheld;
    ++d.handedCount;
    d.current = std::move(entry);
    d.queue.blocks.erase(found);
    ++d.queue.nextToDeliver;
    d.queue.retainFromByte = d.handed.streamBit / 8;
    d.changed.notify_all();
    return true;
}

}  // namespace

// The reader is done with the block it had: its buffer goes back to the workers, or is freed.
void releaseCurrent(Bzip2Decoder& d) {
    DecodedBuffer& buffer = d.current.buffer;
    if (!buffer.data) return;
    if (buffer.capacity <= maxRecycledBuffer && !d.budget.pressure &&
        d.budget.spareBuffers.size() < d.budget.spareBuffers.capacity()) {
        d.budget.spareBuffers.push_back(std::move(buffer));  // capacity reserved: cannot throw
        buffer = {};
        d.changed.notify_all();
    } else {
        releaseBuffer(d, buffer);
    }
}

DecodedPiece nextDecodedPiece(Bzip2Decoder& d) {
    if (d.recovering) return nextRecoveredPiece(d);
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
    if (d.recovering) return reportRecoveredFailure(d);
    // The reader stopped right before a byte kept back: the filter finds out what the library says there.
    if (d.threaded && d.handedCount > 0 && d.handed.withheld) fallBack(d);
    // Bytes the filter produced that the reader has not had: it did not stop where the data stops.
    if (d.pendingStart < d.pendingEnd) return false;
    Bzip2Filter& filter = d.filter;
    bool damaged =
        filter.failure == FilterFailure::decompressFailed || filter.failure == FilterFailure::readFailed;
    if (!damaged || filter.reported) return false;
    reportFilterFailure(filter, *d.run);
    return true;
}

const std::vector<uint64_t>& lostBlockOffsets(const Bzip2Decoder& d) { return d.gaps; }

uint64_t compressedBytesRead(const Bzip2Decoder& d) {
    if (d.threaded) return d.scan.scannedBytes.load(std::memory_order_relaxed);
    if (d.fallbacks > 0) return d.scan.scannedBytes.load(std::memory_order_relaxed) + d.restart.restBytes;
    return d.filter.compressedBytesRead;
}

}  // namespace catadump
