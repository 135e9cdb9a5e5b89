// The buffered CSV output. Bytes gather in a 64 KiB buffer that is written out when the next write does
// not fit; a write of 64 KiB or more goes straight to the output once the buffer is empty. A failed or
// short write sets the write-error flag; its bytes are not retried and writing carries on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/platform.h"
#include "stream/run_flags.h"

namespace catadump {

// Where the output goes: the output file, or memory in tests.
struct ByteSink {
    void* context = nullptr;
    // Writes all n bytes; false when the write failed or came up short.
    bool (*write)(void* context, const void* bytes, size_t n) = nullptr;
};

ByteSink fileSink(platform::File& file);

inline constexpr size_t csvBufferSize = 65536;

struct CsvWriter {
    std::unique_ptr<char[]> buffer;
    char* cursor = nullptr;
    size_t spaceLeft = 0;
    ByteSink sink;
    bool countLines = false;     // count the line ends written out, for a progress display
    uint64_t linesWritten = 0;
};

// Allocates the buffer ("Out of Memory" ends the run when it cannot be had).
void openCsvWriter(CsvWriter& writer, ByteSink sink);

void writeBytesSlow(CsvWriter& writer, const char* bytes, size_t n);

inline void writeBytes(CsvWriter& writer, const char* bytes, size_t n) {
    if (n <= writer.spaceLeft) {
        if (n > 0) std::memcpy(writer.cursor, bytes, n);
        writer.cursor += n;
        writer.spaceLeft -= n;
        return;
    }
    writeBytesSlow(writer, bytes, n);
}

inline void writeString(CsvWriter& writer, std::string_view text) { writeBytes(writer, text.data(), text.size()); }

// Writes out whatever the buffer holds, if anything.
void flush(CsvWriter& writer);

// Room for n bytes at the cursor, written out first when needed; null when n exceeds the whole buffer.
// The caller fills up to n bytes and then calls commitSpace with the count it used.
inline char* reserveSpace(CsvWriter& writer, size_t n) {
    if (n <= writer.spaceLeft) return writer.cursor;
    if (n > csvBufferSize) return nullptr;
    flush(writer);
    return writer.cursor;
}

inline void commitSpace(CsvWriter& writer, size_t used) {
    writer.cursor += used;
    writer.spaceLeft -= used;
}

} // namespace catadump
