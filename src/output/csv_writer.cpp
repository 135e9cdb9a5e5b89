#include "output/csv_writer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace catadump {

namespace {

// The ring of the overlapped writer: two chunks, one filled while the thread writes the other. Large
// enough that the output gets few, large writes; no more of them, because the kernel's copy of a chunk
// just filled is fastest while the chunk is still in the processor's cache.
constexpr size_t overlappedChunkSize = size_t{1} << 19;
constexpr size_t overlappedChunkCount = 2;

struct Piece {
    char* bytes;
    size_t size;
};

}  // namespace

struct CsvOutputThread {
    CsvWriter* writer = nullptr;
    std::vector<std::unique_ptr<char[]>> chunks;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Piece> queue;  // handed over, oldest first
    std::vector<char*> free;  // chunks ready to be filled
    bool writing = true;      // the thread is readying the output, or writing the piece it took last
    bool failed = false;      // a write of the thread failed or came up short
    bool stopping = false;    // end once the queue is written
    bool pumped = false;      // no thread of its own: the queue is written by writeHandedOverChunks
    bool prepared = false;    // pumped: the output has been readied
    std::thread worker;
};

namespace {

void endIfClosed(const CsvWriter& writer) {
    if (writer.sink.closed != nullptr && writer.sink.closed(writer.sink.context)) throw OutputClosed{};
}

bool prepareSink(const ByteSink& sink) { return sink.prepare == nullptr || sink.prepare(sink.context); }

// One write to the output. True when it succeeded.
bool writeOut(CsvWriter& writer, const char* bytes, size_t n) {
    if (writer.countLines) {
        writer.linesWritten.fetch_add(static_cast<uint64_t>(std::count(bytes, bytes + n, '\n')),
                                      std::memory_order_relaxed);
    }
    return writer.sink.write(writer.sink.context, bytes, n);
}

// Writes the oldest piece handed over, with the lock held on entry and on return.
void writeOldestPiece(CsvOutputThread& thread, std::unique_lock<std::mutex>& lock) {
    Piece piece = thread.queue.front();
    thread.queue.pop_front();
    thread.writing = true;
    lock.unlock();
    if (thread.pumped) thread.writer->chunksWaiting.fetch_sub(1, std::memory_order_relaxed);
    bool written = writeOut(*thread.writer, piece.bytes, piece.size);
    lock.lock();
    thread.writing = false;
    if (!written) thread.failed = true;
    thread.free.push_back(piece.bytes);
    thread.changed.notify_all();
}

// Readies the output before its first byte, with the lock held on entry and on return; counted as
// writing until then, so that nothing waits past it unprepared.
void prepareOutput(CsvOutputThread& thread, std::unique_lock<std::mutex>& lock) {
    thread.writing = true;
    lock.unlock();
    bool prepared = prepareSink(thread.writer->sink);
    lock.lock();
    if (!prepared) thread.failed = true;
    thread.writing = false;
    thread.prepared = true;
    thread.changed.notify_all();
}

void runOutputThread(CsvOutputThread& thread) {
    std::unique_lock lock(thread.mutex);
    prepareOutput(thread, lock);
    for (;;) {
        thread.changed.wait(lock, [&] { return thread.stopping || !thread.queue.empty(); });
        if (thread.queue.empty()) return;
        writeOldestPiece(thread, lock);
    }
}

// Pumped: writes everything handed over so far, from the calling thread. Two threads may pump at once (the
// one that fills the chunks, when it finds none free): each writes a piece only while the other is not, so
// the pieces go out one at a time in the order they were handed over.
void pumpQueue(CsvOutputThread& thread, std::unique_lock<std::mutex>& lock) {
    for (;;) {
        thread.changed.wait(lock, [&] { return !thread.writing; });
        if (!thread.prepared) {
            prepareOutput(thread, lock);
        } else if (thread.queue.empty()) {
            return;
        } else {
            writeOldestPiece(thread, lock);
        }
    }
}

// Waits until the thread has written everything handed to it; its failures become the write-error flag.
// Pumped, the caller is the thread that writes, and writes it.
void waitUntilWritten(CsvOutputThread& thread, std::unique_lock<std::mutex>& lock) {
    if (thread.pumped) pumpQueue(thread, lock);
    thread.changed.wait(lock, [&] { return thread.queue.empty() && !thread.writing; });
    if (thread.failed) thread.writer->run->flags.writeError = true;
    thread.failed = false;
}

void startChunk(CsvWriter& writer, char* chunk) { writer.chunk = writer.cursor = writer.committed = chunk; }

// The chunk's bytes, all written out by the 64 KiB buffer's account, leave for the output; filling goes on
// in an empty chunk.
void handOverChunk(CsvWriter& writer) {
    size_t size = static_cast<size_t>(writer.cursor - writer.chunk);
    if (!writer.thread) {
        if (!writeOut(writer, writer.chunk, size)) writer.run->flags.writeError = true;
        startChunk(writer, writer.chunk);
        return;
    }
    CsvOutputThread& thread = *writer.thread;
    std::unique_lock lock(thread.mutex);
    thread.queue.push_back({writer.chunk, size});
    thread.changed.notify_all();
    if (thread.pumped) {
        writer.chunksWaiting.fetch_add(1, std::memory_order_relaxed);
        lock.unlock();
        if (writer.onHandedOver != nullptr) writer.onHandedOver(writer.handedOverContext);
        lock.lock();
        // No chunk to fill: this thread writes rather than wait for the one that pumps.
        if (thread.free.empty()) pumpQueue(thread, lock);
    }
    thread.changed.wait(lock, [&] { return !thread.free.empty(); });
    startChunk(writer, thread.free.back());
    thread.free.pop_back();
}

// A write of 64 KiB or more goes out as it is, after everything before it. When the thread has nothing
// left to write, this thread writes what the chunk holds itself rather than wake the other one.
void writeStraight(CsvWriter& writer, const char* bytes, size_t n) {
    if (writer.thread) {
        CsvOutputThread& thread = *writer.thread;
        std::unique_lock lock(thread.mutex);
        waitUntilWritten(thread, lock);
    }
    if (writer.cursor > writer.chunk) {
        if (!writeOut(writer, writer.chunk, static_cast<size_t>(writer.cursor - writer.chunk))) {
            writer.run->flags.writeError = true;
        }
        startChunk(writer, writer.chunk);
    }
    if (!writeOut(writer, bytes, n)) writer.run->flags.writeError = true;
}

void stopThread(CsvOutputThread& thread) {
    {
        std::unique_lock lock(thread.mutex);
        if (thread.pumped) pumpQueue(thread, lock);
        thread.stopping = true;
    }
    thread.changed.notify_all();
    if (thread.worker.joinable()) thread.worker.join();
    if (thread.failed) thread.writer->run->flags.writeError = true;
}

}  // namespace

void stopCsvOutputThread(CsvOutputThread* thread) {
    if (thread == nullptr) return;
    stopThread(*thread);
    delete thread;
}

namespace {

void openPlain(CsvWriter& writer) {
    writer.plainBuffer.reset(new (std::nothrow) char[csvBufferSize]);
    if (!writer.plainBuffer) fatal("Out of Memory\n");
    writer.chunkSize = csvBufferSize;
    startChunk(writer, writer.plainBuffer.get());
    if (!prepareSink(writer.sink)) writer.run->flags.writeError = true;
}

void runOutputThreadBody(void* context) { runOutputThread(*static_cast<CsvOutputThread*>(context)); }

}  // namespace

void openCsvWriter(CsvWriter& writer, RunContext& run, ByteSink sink, CsvWriting writing, bool countLines) {
    writer.run = &run;
    writer.sink = sink;
    writer.countLines = countLines;  // before the thread that reads it starts
    writer.spaceLeft = csvBufferSize;
    if (writing == CsvWriting::plain) {
        openPlain(writer);
        return;
    }
    // The writer owns the thread's record from the start, so that a fatal condition on the way frees it.
    writer.thread.reset(new (std::nothrow) CsvOutputThread);
    if (!writer.thread) fatal("Out of Memory\n");
    CsvOutputThread& thread = *writer.thread;
    thread.writer = &writer;
    thread.chunks.reserve(overlappedChunkCount);
    thread.free.reserve(overlappedChunkCount);
    for (size_t i = 0; i < overlappedChunkCount; ++i) {
        thread.chunks.emplace_back(new (std::nothrow) char[overlappedChunkSize]);
        if (!thread.chunks.back()) fatal("Out of Memory\n");
        thread.free.push_back(thread.chunks.back().get());
    }
    thread.pumped = writing == CsvWriting::pumped;
    thread.writing = !thread.pumped;  // a thread of its own counts as writing until it has readied the output
    if (!thread.pumped && !run.startThread(thread.worker, runOutputThreadBody, &thread)) {
        // No thread to be had: the converting thread writes, as the plain writer does, with the same bytes.
        writer.thread.reset();
        openPlain(writer);
        return;
    }
    writer.chunkSize = overlappedChunkSize;
    std::lock_guard lock(thread.mutex);
    startChunk(writer, thread.free.back());
    thread.free.pop_back();
}

void writeOutBuffered(CsvWriter& writer) {
    endIfClosed(writer);
    writer.committed = writer.cursor;
    if (static_cast<size_t>(writer.chunk + writer.chunkSize - writer.cursor) < csvBufferSize)
        handOverChunk(writer);
    writer.spaceLeft = csvBufferSize;
}

void writeHandedOverChunks(CsvWriter& writer) {
    if (writer.chunksWaiting.load(std::memory_order_relaxed) == 0) return;
    std::unique_lock lock(writer.thread->mutex);
    pumpQueue(*writer.thread, lock);
}

void flush(CsvWriter& writer) {
    writeOutBuffered(writer);
    if (writer.cursor > writer.chunk) handOverChunk(writer);  // overlapped: what the chunk still holds
    if (writer.thread) {
        std::unique_lock lock(writer.thread->mutex);
        waitUntilWritten(*writer.thread, lock);
    }
    endIfClosed(writer);
}

void abandonCsvWriter(CsvWriter& writer) {
    if (!writer.thread) return;
    // The thread writes what it was handed and ends; then the bytes the 64 KiB buffer had written out go
    // after them from here. Nothing on this path allocates, so it cannot fail for want of memory.
    stopThread(*writer.thread);
    if (writer.committed > writer.chunk &&
        !writeOut(writer, writer.chunk, static_cast<size_t>(writer.committed - writer.chunk))) {
        writer.run->flags.writeError = true;
    }
    writer.chunk = writer.cursor = writer.committed = nullptr;
    writer.spaceLeft = 0;
}

void writeBytesSlow(CsvWriter& writer, const char* bytes, size_t n) {
    writeOutBuffered(writer);
    if (n >= csvBufferSize) {
        writeStraight(writer, bytes, n);
        return;
    }
    std::memcpy(writer.cursor, bytes, n);
    writer.cursor += n;
    writer.spaceLeft -= n;
}

}  // namespace catadump
