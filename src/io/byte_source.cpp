#include "io/byte_source.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace catadump {

namespace {

int64_t readFromFile(void* context, void* destination, size_t n) {
    return platform::readFile(*static_cast<platform::File*>(context), destination, n);
}
int fileError(void*) { return platform::lastErrorCode(); }

int64_t readFromWatchedFile(void* context, void* destination, size_t n) {
    auto& input = *static_cast<WatchedFile*>(context);
    return platform::readFile(input.file, destination, n, input.wakeup);
}

int64_t readFromMemory(void* context, void* destination, size_t n) {
    auto& input = *static_cast<MemoryInput*>(context);
    size_t count = std::min(n, input.size - input.position);
    if (count > 0) std::memcpy(destination, input.data + input.position, count);
    input.position += count;
    return static_cast<int64_t>(count);
}
int memoryError(void*) { return 0; }

int64_t readChained(void* context, void* destination, size_t n) {
    auto& input = *static_cast<ChainedInput*>(context);
    while (input.current < input.pieceCount) {
        const ChainedInput::Piece& piece = input.pieces[input.current];
        if (input.position < piece.size) {
            size_t count = std::min(n, piece.size - input.position);
            std::memcpy(destination, piece.data + input.position, count);
            input.position += count;
            return static_cast<int64_t>(count);
        }
        ++input.current;
        input.position = 0;
    }
    int64_t got = input.rest.read(input.rest.context, destination, n);
    if (got > 0) input.restBytes += static_cast<uint64_t>(got);
    return got;
}
int chainedError(void* context) {
    auto& input = *static_cast<ChainedInput*>(context);
    return input.rest.lastError(input.rest.context);
}

}  // namespace

// The bytes go to the thread in pieces of 1 MiB, at most 8 waiting. The thread runs where the others leave
// a core idle; when it falls that far behind (no core is idle, or the machine is busy), the reading thread
// hashes the oldest waiting piece itself, so the hash never costs more than hashing on the reading thread.
struct HashingThread {
    static constexpr size_t pieceSize = 1u << 20;
    static constexpr size_t mostWaiting = 8;
    platform::Sha256* hash = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> waiting;  // to hash, in order
    std::vector<std::vector<uint8_t>> spare;   // hashed, for the reading thread to fill again
    std::vector<uint8_t> filling;              // the reading thread's alone
    bool busy = false;                         // a piece is being hashed, by either thread: one at a time
    bool finishing = false;
    std::thread thread;
};

namespace {

// Hashes the oldest waiting piece, with the lock held on entry and on return (not while hashing).
void hashOldestPiece(HashingThread& hashing, std::unique_lock<std::mutex>& lock) {
    std::vector<uint8_t> piece = std::move(hashing.waiting.front());
    hashing.waiting.pop_front();
    hashing.busy = true;
    lock.unlock();
    hashing.hash->add(piece.data(), piece.size());
    piece.clear();
    lock.lock();
    hashing.busy = false;
    hashing.spare.push_back(std::move(piece));
    hashing.changed.notify_all();
}

void runHashingThread(HashingThread& hashing) {
    platform::runThisThreadWhenIdle();
    std::unique_lock<std::mutex> lock(hashing.lock);
    for (;;) {
        hashing.changed.wait(lock, [&] {
            return (!hashing.waiting.empty() && !hashing.busy) ||
                   (hashing.finishing && hashing.waiting.empty());
        });
        if (hashing.waiting.empty()) return;
        hashOldestPiece(hashing, lock);
    }
}

// Hands the piece being filled to the thread, and takes a spare one to fill next.
void handPieceOver(HashingThread& hashing) {
    std::unique_lock<std::mutex> lock(hashing.lock);
    while (hashing.waiting.size() >= HashingThread::mostWaiting) {
        if (hashing.busy) {
            hashing.changed.wait(lock);
        } else {
            hashOldestPiece(hashing, lock);
        }
    }
    hashing.waiting.push_back(std::move(hashing.filling));
    hashing.filling.clear();
    if (!hashing.spare.empty()) {
        hashing.filling = std::move(hashing.spare.back());
        hashing.spare.pop_back();
    }
    hashing.changed.notify_all();
}

void copyForHashing(HashingThread& hashing, const uint8_t* bytes, size_t n) {
    while (n > 0) {
        hashing.filling.reserve(HashingThread::pieceSize);
        size_t taken = std::min(n, HashingThread::pieceSize - hashing.filling.size());
        hashing.filling.insert(hashing.filling.end(), bytes, bytes + taken);
        bytes += taken;
        n -= taken;
        if (hashing.filling.size() == HashingThread::pieceSize) handPieceOver(hashing);
    }
}

int64_t readHashing(void* context, void* destination, size_t n) {
    auto& input = *static_cast<HashingInput*>(context);
    int64_t got = input.inner.read(input.inner.context, destination, n);
    if (got > 0 && input.thread) {
        copyForHashing(*input.thread, static_cast<const uint8_t*>(destination), static_cast<size_t>(got));
        input.bytes += static_cast<uint64_t>(got);
    } else if (got > 0) {
        input.hash.add(destination, static_cast<size_t>(got));
        input.bytes += static_cast<uint64_t>(got);
    } else if (got == 0) {
        input.ended = true;
    } else {
        input.failed = true;
    }
    return got;
}
int hashingError(void* context) {
    auto& input = *static_cast<HashingInput*>(context);
    return input.inner.lastError(input.inner.context);
}

}  // namespace

ByteSource fileSource(platform::File& file) { return {&file, readFromFile, fileError}; }
ByteSource watchedFileSource(WatchedFile& input) { return {&input, readFromWatchedFile, fileError}; }
ByteSource memorySource(MemoryInput& input) { return {&input, readFromMemory, memoryError}; }

void addPiece(ChainedInput& input, const uint8_t* data, size_t size) {
    if (size > 0) input.pieces[input.pieceCount++] = {data, size};
}
ByteSource chainedSource(ChainedInput& input) { return {&input, readChained, chainedError}; }

ByteSource hashingSource(HashingInput& input) { return {&input, readHashing, hashingError}; }

void stopHashingThread(HashingThread* hashing) {
    if (hashing == nullptr) return;
    if (!hashing->filling.empty()) handPieceOver(*hashing);
    {
        std::lock_guard<std::mutex> lock(hashing->lock);
        hashing->finishing = true;
    }
    hashing->changed.notify_all();
    hashing->thread.join();
    delete hashing;
}

bool hashOnItsOwnThread(HashingInput& input) {
    auto hashing = std::make_unique<HashingThread>();
    hashing->hash = &input.hash;
    try {
        hashing->thread = std::thread(runHashingThread, std::ref(*hashing));
    } catch (const std::system_error&) {
        return false;
    }
    input.thread.reset(hashing.release());
    return true;
}

bool readRestForHash(HashingInput& input) {
    // A source that has given its end is not asked again: not every source gives it a second time (a
    // terminal waits for more, a caller's callback may fail).
    if (input.ended || input.failed) {
        input.thread.reset();
        return !input.failed;
    }
    // Large reads, where there is memory for them; small ones otherwise, which read the same bytes.
    constexpr size_t largeBuffer = 256 * 1024;
    uint8_t smallBuffer[4096];
    std::unique_ptr<uint8_t[]> large(new (std::nothrow) uint8_t[largeBuffer]);
    uint8_t* buffer = large ? large.get() : smallBuffer;
    size_t size = large ? largeBuffer : sizeof smallBuffer;
    while (!input.ended && !input.failed) readHashing(&input, buffer, size);
    input.thread.reset();
    return !input.failed;
}

}  // namespace catadump
