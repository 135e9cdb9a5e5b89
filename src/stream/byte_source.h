// Where the database bytes come from: an open file, or a block of memory (tests and the fuzzer).
// A small table of functions, so the stream neither knows nor cares which.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace catadump {

struct ByteSource {
    void* context = nullptr;
    // Up to n bytes into destination: the count, 0 at the end, -1 on failure.
    int64_t (*read)(void* context, void* destination, size_t n) = nullptr;
    // Back to the first byte; false on failure.
    bool (*rewind)(void* context) = nullptr;
    // The error code of the last failure, for the console message of a failed read.
    int (*lastError)(void* context) = nullptr;
};

ByteSource fileSource(platform::File& file);

// A database held in memory. The block must outlive the source.
struct MemoryInput {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
};
ByteSource memorySource(MemoryInput& input);

} // namespace catadump
