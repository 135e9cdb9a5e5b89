// The buffered CSV output. It behaves as a 64 KiB buffer that is written out when the next write does not
// fit in the room left (or a reservation asks for more room than is left); such a write of 64 KiB or more
// then goes straight to the output, while one that fits is buffered whatever its size. A failed or short
// write sets the write-error flag; its bytes are not retried and writing carries on.
//
// Written plainly, the buffer is those 64 KiB and each write-out is a system write on the caller's thread.
// Overlapped, the bytes the 64 KiB buffer would have written out gather in a ring of larger chunks that a
// thread of the writer's own writes while the conversion goes on: the output receives the same bytes in
// the same order, only in larger writes and a little later. `flush` waits for that thread, and a run ended
// by a fatal condition leaves in the output exactly what the 64 KiB buffer would have written by then.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "io/byte_sink.h"
#include "io/run_context.h"

namespace catadump {

inline constexpr size_t csvBufferSize = 65536;

// pumped: overlapped, but no thread of the writer's own writes the chunks: another thread of the run
// writes them with writeHandedOverChunks (the converting thread, while a thread of the formats fills them),
// and is told through onHandedOver each time a chunk is ready.
enum class CsvWriting { plain, overlapped, pumped };

struct CsvOutputThread;  // the overlapped writer's thread and its chunks
void stopCsvOutputThread(CsvOutputThread* thread);

struct alignas(threadOwnedAlignment) CsvWriter {
    RunContext* run = nullptr;  // its write-error flag
    char* cursor = nullptr;
    size_t spaceLeft = 0;       // room left in the 64 KiB buffer the writer behaves as
    char* chunk = nullptr;      // the chunk being filled: the plain writer's only buffer, or one of the ring
    char* committed = nullptr;  // bytes of the chunk before this are what the 64 KiB buffer has written out
    size_t chunkSize = 0;
    ByteSink sink;
    bool countLines = false;  // count the line ends written out, for a progress display; set when opened
    std::atomic<uint64_t> linesWritten{0};
    std::unique_ptr<char[]> plainBuffer;
    std::unique_ptr<CsvOutputThread, void (*)(CsvOutputThread*)> thread{nullptr, stopCsvOutputThread};
    // Pumped: told, on the thread that fills the chunks and with no lock held, when one is ready.
    void (*onHandedOver)(void* context) = nullptr;
    void* handedOverContext = nullptr;
    std::atomic<size_t> chunksWaiting{0};  // pumped: chunks ready and not yet taken to be written
};

// Sets the writer up ("Out of Memory" ends the run when its buffers cannot be had). An overlapped writer
// must be flushed or abandoned before the sink goes away; when its thread cannot be started, it writes on
// the caller's thread as the plain writer does. With countLines, it counts the line ends it writes out.
void openCsvWriter(CsvWriter& writer, RunContext& run, ByteSink sink, CsvWriting writing = CsvWriting::plain,
                   bool countLines = false);

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

inline void writeString(CsvWriter& writer, std::string_view text) {
    writeBytes(writer, text.data(), text.size());
}

// Pumped: writes the chunks handed over so far, on the calling thread.
void writeHandedOverChunks(CsvWriter& writer);

// Writes out whatever the buffer holds, if anything, and waits until the output has every byte. Each write
// out of the 64 KiB buffer, and the flush, end the conversion (OutputClosed) once the output is closed.
void flush(CsvWriter& writer);

// What a fatal condition leaves: the bytes the 64 KiB buffer would have written out reach the output, the
// rest is dropped, and the writer's thread is stopped. Nothing is written after this.
void abandonCsvWriter(CsvWriter& writer);

// The 64 KiB buffer writes out what it holds (the bytes go to the output thread when overlapped).
void writeOutBuffered(CsvWriter& writer);

// Room for n bytes at the cursor, written out first when needed; null when n exceeds the whole buffer.
// The caller fills up to n bytes and then calls commitSpace with the count it used.
inline char* reserveSpace(CsvWriter& writer, size_t n) {
    if (n <= writer.spaceLeft) return writer.cursor;
    if (n > csvBufferSize) return nullptr;
    writeOutBuffered(writer);
    return writer.cursor;
}

inline void commitSpace(CsvWriter& writer, size_t used) {
    writer.cursor += used;
    writer.spaceLeft -= used;
}

}  // namespace catadump
