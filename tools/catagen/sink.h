// Where encoded bytes go. A ByteSink gathers bytes in a large buffer and hands full buffers to its
// drain: a std::string, a file, or the bzip2 compressor in front of either. Multi-gigabyte databases
// pass through it, so the put operations are inline and the buffer is big.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace catagen {

using Drain = std::function<void(std::string_view)>;

struct ByteSink {
    std::vector<char> buffer;
    size_t used = 0;
    uint64_t drained = 0;  // bytes already handed to the drain
    Drain drain;
};

inline constexpr size_t kSinkBufferSize = size_t{4} << 20;

ByteSink makeSink(Drain drain, size_t bufferSize = kSinkBufferSize);

// Hands whatever is buffered to the drain.
void flush(ByteSink& sink);

inline void putBytes(ByteSink& sink, const void* bytes, size_t n) {
    if (n > sink.buffer.size() - sink.used) {
        flush(sink);
        if (n >= sink.buffer.size()) {
            sink.drain(std::string_view(static_cast<const char*>(bytes), n));
            sink.drained += n;
            return;
        }
    }
    std::memcpy(sink.buffer.data() + sink.used, bytes, n);
    sink.used += n;
}

// How many bytes went into the sink so far, drained or buffered.
inline uint64_t position(const ByteSink& sink) { return sink.drained + sink.used; }

inline void putText(ByteSink& sink, std::string_view text) { putBytes(sink, text.data(), text.size()); }

inline void putU8(ByteSink& sink, uint8_t value) {
    if (sink.used == sink.buffer.size()) flush(sink);
    sink.buffer[sink.used++] = static_cast<char>(value);
}

// Little-endian, whatever the host order.
inline void putU32(ByteSink& sink, uint32_t value) {
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    putBytes(sink, bytes, 4);
}

inline void putU64(ByteSink& sink, uint64_t value) {
    unsigned char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    putBytes(sink, bytes, 8);
}

// A drain that appends to a string the caller keeps alive.
Drain stringDrain(std::string& out);

// An output file written with stdio; `failed` turns true on the first failed write, and stays so.
struct OutputFile {
    std::FILE* file = nullptr;
    bool failed = false;
};
// Creates or truncates the file; false when it cannot be created.
bool openOutputFile(OutputFile& out, const std::string& path);
Drain fileDrain(OutputFile& out);
// Closes the file; false when any write or the close failed.
bool closeOutputFile(OutputFile& out);

}  // namespace catagen
