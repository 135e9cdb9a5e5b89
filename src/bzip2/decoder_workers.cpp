// The worker threads of the threaded decoder: each takes a queued block, learns what the library would make
// of it and how long it is, waits for room in the budget, and decodes it with our own block decoder or, for
// a block ours does not take, with the library.
#include "bzip2/decoder_state.h"

#include <new>

namespace catadump {

namespace {

void publishVerdict(Bzip2Decoder& d, uint64_t index, Verdict verdict) {
    std::lock_guard lock(d.mutex);
    BlockEntry& entry = d.queue.blocks.at(index);
    if (entry.verdict == Verdict::unknown) entry.verdict = verdict;
    d.changed.notify_all();
}

enum class Route { none, ours, library };

// The first two stages of a block, which need no room for its bytes: what the library would make of it,
// and how many bytes it gives. Each block goes to our own block decoder first; whatever it does not take,
// the library decodes as a one-block stream and decides on, exactly as it would without our decoder. Under
// recovery, a block cut off by the end of the data is ours alone, and a span too long for a block nobody's.
Route examineBlock(Bzip2Decoder& d, const BlockJob& job, Bzip2BlockScratch& scratch,
                   std::vector<uint8_t>& oneBlock, size_t& length) {
    bool decodes = false;
    if (job.tooLong) return Route::none;
    try {
        CodedBlock block{job.bytes.data(), job.bytes.size(), job.beginBit,
                         job.endBit,       job.level,        job.openEnd};
        if (decodeBzip2Symbols(block, scratch)) {
            decodes = true;
            publishVerdict(d, job.index, Verdict::decodes);
            if (measureBzip2Block(scratch, length)) return Route::ours;
        }
        // The library's one-block stream needs the block's end where the next magic begins.
        if (job.openEnd) return Route::none;
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
            BlockEntry& entry = d.queue.blocks.at(index);
            entry.done = true;
            settle(d, entry);
            giveBackScratch(d, scratch);
            return;
        }
        if (!grantRoom(d, lock, job, length, buffer)) {
            giveBackScratch(d, scratch);
            return;
        }
        settle(d, d.queue.blocks.at(index));
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
    BlockEntry& entry = d.queue.blocks.at(index);
    entry.done = true;
    entry.whole = whole && length > 0;
    if (entry.whole) {
        entry.buffer = std::move(buffer);
        entry.size = length;
        d.budget.recentSizes[d.budget.recentCount++ % d.budget.recentSizes.size()] = length;
    } else {
        releaseBuffer(d, buffer);
    }
    giveBackScratch(d, scratch);
}

}  // namespace

void runWorker(void* context) {
    auto& d = *static_cast<Bzip2Decoder*>(context);
    for (;;) {
        BlockJob job;
        std::unique_ptr<Bzip2BlockScratch> scratch;
        {
            std::unique_lock lock(d.mutex);
            d.changed.wait(lock, [&] { return d.queue.stopping || mayStartJob(d); });
            if (d.queue.stopping) return;
            scratch = takeScratch(d);
            if (!scratch) {
                endForWantOfMemory(d);  // the reader falls back at the first block not done
                return;
            }
            job = std::move(d.queue.jobs.front());
            d.queue.jobs.pop_front();
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

}  // namespace catadump
