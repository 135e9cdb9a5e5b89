// The threaded decoder's life: it is set up with its single-threaded filter, its threads are started when
// more than one is asked for and stopped before it is destroyed or falls back; with the look-ups for tests.
#include "bzip2/decoder_state.h"

#include <algorithm>
#include <new>

namespace catadump {

namespace {

void startThreads(Bzip2Decoder& d, unsigned threads) {
    d.maxAhead = std::min(threads + 2, maxBlocksAhead);
    try {
        d.workers.reserve(threads);
        d.budget.scratchPool.reserve(threads);
        d.budget.spareBuffers.reserve(d.maxAhead);
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
    if (!d.run->startThread(d.scannerThread, runScanner, &d)) {
        stopThreads(d);
        return;
    }
    d.threaded = true;
}

}  // namespace

void stopThreads(Bzip2Decoder& d) {
    {
        std::lock_guard lock(d.mutex);
        d.queue.stopping = true;
    }
    d.changed.notify_all();
    if (d.scannerThread.joinable()) d.scannerThread.join();
    for (std::thread& worker : d.workers) worker.join();
    d.workers.clear();
}

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
    if (run.recover) {
        // Recovery decodes every block on the workers, for the single-threaded filter stops at the first
        // damage: a run that asked for the filter alone gets one worker instead. Where no thread can be
        // started, the filter alone reads as without recovery.
        d.recovering = true;
        startThreads(d, threads);
        // Only where no thread runs: the scanner reads the setting as it starts.
        if (!d.threaded) d.recovering = false;
    } else if (threads > 1) {
        startThreads(d, threads);
    }
    return decoder;
}

unsigned fallbackCount(const Bzip2Decoder& d) { return d.fallbacks; }

unsigned workerCount(const Bzip2Decoder& d) { return d.workersStarted; }

size_t peakDecodedBytes(const Bzip2Decoder& d) {
    // The workers may still be decoding ahead of a reader that stopped early.
    std::lock_guard lock(d.mutex);
    return d.budget.peakHeld;
}

}  // namespace catadump
