#include "io/byte_source.h"

#include <algorithm>
#include <cstring>

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

ByteSource fileSource(platform::File& file) { return {&file, readFromFile, fileError}; }
ByteSource watchedFileSource(WatchedFile& input) { return {&input, readFromWatchedFile, fileError}; }
ByteSource memorySource(MemoryInput& input) { return {&input, readFromMemory, memoryError}; }

void addPiece(ChainedInput& input, const uint8_t* data, size_t size) {
    if (size > 0) input.pieces[input.pieceCount++] = {data, size};
}
ByteSource chainedSource(ChainedInput& input) { return {&input, readChained, chainedError}; }

}  // namespace catadump
