// The reader's side of the threaded decoder under recovery: the blocks are taken in order as the workers
// finish them, and one that did not decode whole (damaged, cut off, or no block at all) is reported and
// left out, a gap in the decoded data; the blocks after it are handed over as ever. There is no restart onto
// the single-threaded filter, which would stop at the first damage.
#include "bzip2/decoder_state.h"

#include <bzlib.h>

#include "bzip2/crc.h"

namespace catadump {

namespace {

enum class Next { block, lost, end, outOfMemory };

// Takes the next block out of the queue into `entry` once the workers are done with it, with its number in
// the data, counted from 1; `end` once every block of a finished scan was taken, when the data's end is
// recorded as the filter's failure.
Next takeEntry(Bzip2Decoder& d, BlockEntry& entry, uint64_t& number) {
    std::unique_lock lock(d.mutex);
    releaseCurrent(d);
    uint64_t k = d.queue.nextToDeliver;
    d.changed.wait(lock, [&] {
        auto found = d.queue.blocks.find(k);
        return (found != d.queue.blocks.end() && found->second.done) || d.queue.exhausted ||
               (d.queue.scanFinished && k >= d.queue.blocksFound);
    });
    auto found = d.queue.blocks.find(k);
    if (found == d.queue.blocks.end() || !found->second.done) {
        // A thread ran out of memory before this block, or the data's end, was known.
        if (d.queue.exhausted || d.queue.dataEnd == FilterFailure::none) return Next::outOfMemory;
        if (d.filter.failure == FilterFailure::none) {
            d.filter.failure = d.queue.dataEnd;
            d.filter.failureCode = d.queue.dataEndCode;
        }
        return Next::end;
    }
    entry = std::move(found->second);
    d.queue.blocks.erase(found);
    number = k + 1;
    ++d.queue.nextToDeliver;
    d.changed.notify_all();
    return entry.whole ? Next::block : Next::lost;
}

// Damage was met and gone past: the read-error flag says so, although the data goes on.
void noteDamage(Bzip2Decoder& d) {
    d.damageReported = true;
    d.run->flags.readError = true;
}

void reportLost(Bzip2Decoder& d, const BlockEntry& entry, uint64_t number) {
    auto block = static_cast<unsigned long long>(number);
    auto bit = static_cast<unsigned long long>(entry.streamBit);
    if (entry.cut) {
        say(*d.run, "BZ2_bzDecompress(): %d: Unexpected EOF in block %llu at bit %llu, skipped.\n",
            BZ_UNEXPECTED_EOF, block, bit);
        d.filter.reported = true;  // the end of the data, which this line has told
    } else {
        say(*d.run, "BZ2_bzDecompress(): %d: Failed to decompress block %llu at bit %llu, skipped.\n",
            BZ_DATA_ERROR, block, bit);
    }
    d.gaps.push_back(d.delivered);
    d.streamLost = true;
    noteDamage(d);
}

// Moves on to the next whole block, which `current` then holds; false at the end of the data. The blocks
// lost on the way are reported, each a gap where the reader is, and so is the check of a stream whose last
// block the reader has had.
bool advance(Bzip2Decoder& d) {
    if (d.checkFailed) {
        d.checkFailed = false;
        say(*d.run,
            "BZ2_bzDecompress(): %d: Failed to decompress: the stream check at bit %llu does not match.\n",
            BZ_DATA_ERROR, static_cast<unsigned long long>(d.checkBit));
        noteDamage(d);
    }
    for (;;) {
        BlockEntry entry;
        uint64_t number = 0;
        Next next = takeEntry(d, entry, number);
        if (next == Next::outOfMemory) fatal("Out of Memory\n");
        if (next == Next::end) return false;
        if (entry.first) {
            d.streamLost = false;
            d.streamCombined = 0;
        }
        if (next == Next::lost) {
            reportLost(d, entry, number);
            continue;
        }
        // A stream that lost a block fails its check anyway: that is no further damage.
        d.streamCombined = combineBzip2Crc(d.streamCombined, entry.crc);
        if (entry.endsStream && !d.streamLost && d.streamCombined != entry.streamCrc) {
            d.checkFailed = true;
            d.checkBit = entry.endStreamBit + 48;
        }
        d.current = std::move(entry);
        d.holding = true;
        return true;
    }
}

}  // namespace

DecodedPiece nextRecoveredPiece(Bzip2Decoder& d) {
    if (!d.holding && !advance(d)) {
        reportFilterFailure(d.filter, *d.run);
        return {};
    }
    d.holding = false;
    d.delivered += d.current.size;
    return {d.current.buffer.data.get(), d.current.size};
}

// Where the reader stopped at the end of the bytes it had: the blocks lost right there are reported as its
// next read would report them, and the end of the data there when it is damage (the data cut off, a read
// that failed), as without recovery. True when it reported anything.
bool reportRecoveredFailure(Bzip2Decoder& d) {
    if (d.holding) return false;  // asked before: the block after the reader's bytes is at hand
    size_t lostBefore = d.gaps.size();
    bool checkBefore = d.checkFailed;
    if (advance(d)) return d.gaps.size() > lostBefore || checkBefore;
    Bzip2Filter& filter = d.filter;
    bool damaged =
        filter.failure == FilterFailure::decompressFailed || filter.failure == FilterFailure::readFailed;
    if (damaged && !filter.reported) {
        reportFilterFailure(filter, *d.run);
        return true;
    }
    return d.gaps.size() > lostBefore || checkBefore;
}

bool damageGonePast(const Bzip2Decoder& d) { return d.damageReported; }

}  // namespace catadump
