#include "stream/byte_source.h"

#include <algorithm>
#include <cstring>

namespace catadump {

namespace {

int64_t readFromFile(void* context, void* destination, size_t n) {
    return platform::readFile(*static_cast<platform::File*>(context), destination, n);
}
bool rewindFile(void* context) { return platform::rewindFile(*static_cast<platform::File*>(context)); }
int fileError(void*) { return platform::lastErrorCode(); }

int64_t readFromMemory(void* context, void* destination, size_t n) {
    auto& input = *static_cast<MemoryInput*>(context);
    size_t count = std::min(n, input.size - input.position);
    if (count > 0) std::memcpy(destination, input.data + input.position, count);
    input.position += count;
    return static_cast<int64_t>(count);
}
bool rewindMemory(void* context) {
    static_cast<MemoryInput*>(context)->position = 0;
    return true;
}
int memoryError(void*) { return 0; }

} // namespace

ByteSource fileSource(platform::File& file) { return {&file, readFromFile, rewindFile, fileError}; }
ByteSource memorySource(MemoryInput& input) { return {&input, readFromMemory, rewindMemory, memoryError}; }

} // namespace catadump
