#include "io/byte_source.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

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

int64_t readHashing(void* context, void* destination, size_t n) {
    auto& input = *static_cast<HashingInput*>(context);
    int64_t got = input.inner.read(input.inner.context, destination, n);
    if (got > 0) {
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

bool readRestForHash(HashingInput& input) {
    // A source that has given its end is not asked again: not every source gives it a second time (a
    // terminal waits for more, a caller's callback may fail).
    if (input.ended || input.failed) return !input.failed;
    // Large reads, where there is memory for them; small ones otherwise, which read the same bytes.
    constexpr size_t largeBuffer = 256 * 1024;
    uint8_t smallBuffer[4096];
    std::unique_ptr<uint8_t[]> large(new (std::nothrow) uint8_t[largeBuffer]);
    uint8_t* buffer = large ? large.get() : smallBuffer;
    size_t size = large ? largeBuffer : sizeof smallBuffer;
    while (!input.ended && !input.failed) readHashing(&input, buffer, size);
    return !input.failed;
}

}  // namespace catadump
