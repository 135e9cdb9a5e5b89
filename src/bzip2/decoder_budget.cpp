// The budget of decoded bytes that the threaded decoder holds: the workers' working memory, the blocks'
// buffers, and what is kept for reuse. It decides which block a worker may start and when a block gets room
// for its bytes, oldest first, so that blocks of long runs are decoded fewer at a time and the reader's next
// block is never starved. Everything here runs under the decoder's mutex.
#include "bzip2/decoder_state.h"

#include <algorithm>
#include <new>

namespace catadump {

namespace {

void hold(Bzip2Decoder& d, size_t bytes) {
    d.budget.held += bytes;
    d.budget.peakHeld = std::max(d.budget.peakHeld, d.budget.held);
}

void release(Bzip2Decoder& d, size_t bytes) {
    d.budget.held -= std::min(d.budget.held, bytes);
    d.changed.notify_all();
}

// The largest block of late: how much a decode started now is expected to need. 0 before any is done.
size_t expectedBlockBytes(const Bzip2Decoder& d) {
    return *std::max_element(d.budget.recentSizes.begin(), d.budget.recentSizes.end());
}

}  // namespace

void releaseBuffer(Bzip2Decoder& d, DecodedBuffer& buffer) {
    release(d, buffer.capacity);
    buffer = {};
}

// Buffers and working memory kept for reuse give way to a block that needs the room.
void dropKeptMemory(Bzip2Decoder& d) {
    for (DecodedBuffer& spare : d.budget.spareBuffers) releaseBuffer(d, spare);
    d.budget.spareBuffers.clear();
    release(d, d.budget.scratchCost * d.budget.scratchPool.size());
    d.budget.scratchPool.clear();
}

// Whether a worker may take the first waiting job. The oldest block not yet settled always may once there
// is room for its working memory, and asks the others to make room when there is not; while another decode
// is running, new working memory is taken for it only if a block of the size seen lately fits as well (on
// blocks of long runs, it waits for the running decode's instead). Any other block starts only
// when its working memory and such a block fit. Before any block is done, only the oldest is decoded: the
// first block tells how large the blocks are.
bool mayStartJob(Bzip2Decoder& d) {
    if (d.queue.jobs.empty() || d.queue.exhausted) return false;
    size_t need = d.budget.scratchPool.empty() ? d.budget.scratchCost : 0;
    size_t expected = expectedBlockBytes(d);
    bool roomForBlock = expected != 0 && d.budget.held + need + expected <= decodedBytesBudget;
    if (d.queue.jobs.front().index == d.queue.nextToSettle) {
        if (need == 0) return true;
        if (d.budget.held + need > decodedBytesBudget) dropKeptMemory(d);
        if (d.budget.held + need <= decodedBytesBudget && (d.budget.scratchesInUse == 0 || roomForBlock)) {
            return true;
        }
        d.budget.pressure = true;  // the running decodes give up their later blocks, or finish, and make room
        return false;
    }
    return !d.budget.pressure && roomForBlock;
}

std::unique_ptr<Bzip2BlockScratch> takeScratch(Bzip2Decoder& d) {
    std::unique_ptr<Bzip2BlockScratch> scratch;
    if (!d.budget.scratchPool.empty()) {
        scratch = std::move(d.budget.scratchPool.back());
        d.budget.scratchPool.pop_back();
    } else {
        scratch.reset(new (std::nothrow) Bzip2BlockScratch);
        if (scratch) hold(d, d.budget.scratchCost);
    }
    if (scratch) ++d.budget.scratchesInUse;
    return scratch;
}

void giveBackScratch(Bzip2Decoder& d, std::unique_ptr<Bzip2BlockScratch>& scratch) {
    if (!scratch) return;
    --d.budget.scratchesInUse;
    if (!d.budget.pressure && d.budget.held <= decodedBytesBudget &&
        d.budget.scratchPool.size() < d.budget.scratchPool.capacity()) {
        d.budget.scratchPool.push_back(std::move(scratch));  // capacity reserved: cannot throw
    } else {
        scratch.reset();
        release(d, d.budget.scratchCost);
    }
    d.changed.notify_all();
}

// Settled blocks let the next ones be granted room.
void settle(Bzip2Decoder& d, BlockEntry& entry) {
    entry.settled = true;
    uint64_t before = d.queue.nextToSettle;
    for (auto next = d.queue.blocks.find(d.queue.nextToSettle);
         next != d.queue.blocks.end() && next->second.settled;
         next = d.queue.blocks.find(d.queue.nextToSettle)) {
        ++d.queue.nextToSettle;
    }
    if (d.queue.nextToSettle != before) d.budget.pressure = false;  // the block that needed the room has it
    d.changed.notify_all();
}

// Memory ran out on a worker: the threaded path ends after the blocks already done.
void endForWantOfMemory(Bzip2Decoder& d) {
    d.queue.exhausted = true;
    d.changed.notify_all();
}

// Waits for the block's turn and room for its bytes. False when the worker is to give the job up: another,
// older block needs the room (the job then waits for a worker again) or the pipeline stops.
bool grantRoom(Bzip2Decoder& d, std::unique_lock<std::mutex>& lock, BlockJob& job, size_t length,
               DecodedBuffer& buffer) {
    for (;;) {
        if (d.queue.stopping) return false;
        if (job.index == d.queue.nextToSettle) {
            for (size_t i = 0; i < d.budget.spareBuffers.size(); ++i) {
                if (d.budget.spareBuffers[i].capacity >= length) {
                    buffer = std::move(d.budget.spareBuffers[i]);
                    auto at = d.budget.spareBuffers.begin() + static_cast<std::ptrdiff_t>(i);
                    d.budget.spareBuffers.erase(at);
                    return true;
                }
            }
            if (d.budget.held + length <= decodedBytesBudget) {
                hold(d, length);
                buffer.capacity = length;
                return true;
            }
            dropKeptMemory(d);
            d.budget.pressure = true;
            d.changed.notify_all();
        } else if (d.budget.pressure) {
            auto place = std::find_if(d.queue.jobs.begin(), d.queue.jobs.end(),
                                      [&](const BlockJob& waiting) { return waiting.index > job.index; });
            // May throw: the worker's catch ends the threaded path.
            d.queue.jobs.insert(place, std::move(job));
            d.changed.notify_all();
            return false;
        }
        d.changed.wait(lock);
    }
}

}  // namespace catadump
