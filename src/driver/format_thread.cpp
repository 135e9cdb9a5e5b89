#include "driver/format_thread.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

namespace catadump {

namespace {

// Batches large enough that handing one over (a lock, and now and then a wakeup) is rare beside the
// thousands of entries it holds, and few and small enough that they stay in the processors' caches.
constexpr size_t batchSize = size_t{256} << 10;
constexpr size_t batchCount = 4;
// The converting thread, once it has had to wait for an empty batch, waits for this many: each wakeup
// then lets it fill several, rather than one at a time in step with the format thread.
constexpr size_t batchesWaitedFor = 2;
// A record longer than this (an enormous name or console line) is not copied: the converting thread
// hands it on itself, once the format thread has handed on everything before it.
constexpr size_t largestQueued = batchSize / 4;

enum class Tag : uint8_t { header, table, entry, entryWithValues, console, progress };

// Each record: this, then the values of an entry that has them (valuesSize bytes: the four numbers and
// the attributes), a table's address or the progress (8 bytes), then `length` bytes, padded to 4.
struct Record {
    Tag tag;
    uint8_t second;  // header: the column set; entry: the kind
    uint8_t status;  // entry: its status
    uint8_t unused;
    uint32_t first;   // header: the version word; entry: the folder
    uint32_t length;  // the bytes that follow: an entry's name, a console line's text
};
constexpr size_t valuesSize = 4 * sizeof(uint64_t) + sizeof(uint32_t);

constexpr size_t padded(size_t n) { return (n + 3) & ~size_t{3}; }

struct Batch {
    char* bytes;
    size_t used;
};

}  // namespace

struct FormatThread {
    struct Sink : EntrySink {
        FormatThread* thread = nullptr;
    };

    RunContext* run = nullptr;
    DatabaseStream* stream = nullptr;
    EntrySink* target = nullptr;
    ProgressHook progress;
    Console console;  // the run's own, which the format thread prints to
    Sink sink;
    // What the run and the stream had before, given back at the end.
    void (*onRefill)(void*) = nullptr;
    void (*beforeRefill)(void*) = nullptr;
    void* refillContext = nullptr;

    // The writer whose chunks the converting thread writes (pumped), or null.
    CsvWriter* writer = nullptr;

    // The converting thread's: the batch it fills, and the table its entries were last read with.
    Batch filling{nullptr, 0};
    const FolderTable* queuedTable = nullptr;

    std::vector<std::unique_ptr<char[]>> storage;
    std::mutex mutex;
    std::condition_variable toFormat;  // the format thread waits on it for batches
    std::condition_variable toRead;    // the converting thread waits on it for empty batches or the end
    std::deque<Batch> queue;           // handed over, oldest first
    std::vector<char*> free;           // batches ready to be filled
    bool formatting = false;           // the format thread is handing on a batch it took
    bool formatWaits = false;          // the format thread waits for a batch
    size_t readerWaitsFor = 0;         // empty batches the converting thread waits for (0: it does not)
    bool readerWaitsForAll = false;    // the converting thread waits until everything is handed on
    bool stopping = false;             // end once the queue is handed on
    std::exception_ptr failure;        // what stopped the format; nothing is handed on after it
    bool failureRaised = false;        // the converting thread has met it already
    std::thread worker;
};

namespace {

// ---- The format thread ----

void handOnBatch(FormatThread& thread, const Batch& batch, FolderTable*& table) {
    EntrySink& target = *thread.target;
    const char* at = batch.bytes;
    const char* end = batch.bytes + batch.used;
    while (at < end) {
        Record record;
        std::memcpy(&record, at, sizeof record);
        at += sizeof record;
        switch (record.tag) {
        case Tag::header:
            target.header(target, record.first, static_cast<ColumnSet>(record.second));
            break;
        case Tag::table: {
            uintptr_t address;
            std::memcpy(&address, at, sizeof address);
            at += 8;
            table = reinterpret_cast<FolderTable*>(address);
            break;
        }
        case Tag::entry:
        case Tag::entryWithValues: {
            RowValues values;
            bool withValues = record.tag == Tag::entryWithValues;
            if (withValues) {
                std::memcpy(&values.size, at, 8);
                std::memcpy(&values.dateCreated, at + 8, 8);
                std::memcpy(&values.dateModified, at + 16, 8);
                std::memcpy(&values.dateAccessed, at + 24, 8);
                std::memcpy(&values.attributes, at + 32, 4);
                at += valuesSize;
            }
            target.entry(target, *table,
                         {static_cast<EntryKind>(record.second), record.first,
                          std::string_view(at, record.length), withValues ? &values : nullptr,
                          static_cast<EntryStatus>(record.status)});
            at += padded(record.length);
            break;
        }
        case Tag::console:
            thread.console.write(thread.console.context, at, record.length);
            at += padded(record.length);
            break;
        case Tag::progress: {
            uint64_t databaseBytes;
            std::memcpy(&databaseBytes, at, sizeof databaseBytes);
            at += 8;
            thread.progress.report(thread.progress.context, databaseBytes);
            break;
        }
        }
    }
}

// Wakes the converting thread when what it waits for has come.
void wakeReaderIfDue(FormatThread& thread) {
    bool due = (thread.readerWaitsFor > 0 && thread.free.size() >= thread.readerWaitsFor) ||
               (thread.readerWaitsForAll && thread.queue.empty() && !thread.formatting);
    if (due) thread.toRead.notify_one();
}

void runFormatThread(void* context) {
    auto& thread = *static_cast<FormatThread*>(context);
    FolderTable* table = nullptr;
    std::unique_lock lock(thread.mutex);
    for (;;) {
        if (thread.queue.empty() && !thread.stopping && thread.writer != nullptr &&
            thread.writer->chunksWaiting.load(std::memory_order_relaxed) > 0) {
            // Nothing to format: this thread writes what it formatted rather than wait, so that whichever
            // thread has the time writes.
            lock.unlock();
            writeHandedOverChunks(*thread.writer);
            lock.lock();
            continue;
        }
        if (thread.queue.empty() && !thread.stopping) {
            thread.formatWaits = true;
            thread.toFormat.wait(lock, [&] { return thread.stopping || !thread.queue.empty(); });
            thread.formatWaits = false;
        }
        if (thread.queue.empty()) return;
        Batch batch = thread.queue.front();
        thread.queue.pop_front();
        bool handOn = !thread.failure;
        thread.formatting = true;
        lock.unlock();
        std::exception_ptr failure;
        if (handOn) {
            try {
                handOnBatch(thread, batch, table);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        lock.lock();
        if (failure) thread.failure = failure;
        thread.formatting = false;
        thread.free.push_back(batch.bytes);
        wakeReaderIfDue(thread);
    }
}

// Told by the writer, on the format thread, that a chunk is ready to be written.
void wakeReaderForChunk(void* context) {
    auto& thread = *static_cast<FormatThread*>(context);
    std::lock_guard lock(thread.mutex);
    if (thread.readerWaitsFor > 0 || thread.readerWaitsForAll) thread.toRead.notify_one();
}

// ---- The converting thread ----

bool chunksWaiting(const FormatThread& thread) {
    return thread.writer != nullptr && thread.writer->chunksWaiting.load(std::memory_order_relaxed) > 0;
}

void writeChunks(FormatThread& thread) {
    if (chunksWaiting(thread)) writeHandedOverChunks(*thread.writer);
}

// Waits, with the lock held, until `done` holds; meanwhile it writes the chunks the format hands over, so
// that the converting thread's waits are the writer's work.
template <typename Done>
void waitWriting(FormatThread& thread, std::unique_lock<std::mutex>& lock, Done&& done) {
    while (!done()) {
        if (chunksWaiting(thread)) {
            lock.unlock();
            writeHandedOverChunks(*thread.writer);
            lock.lock();
        } else {
            thread.toRead.wait(lock);
        }
    }
}

void raiseFailure(FormatThread& thread, std::unique_lock<std::mutex>& lock) {
    if (!thread.failure || thread.failureRaised) return;
    thread.failureRaised = true;
    std::exception_ptr failure = thread.failure;
    lock.unlock();
    std::rethrow_exception(failure);
}

// Queues the batch being filled, if it holds anything, and takes an empty one.
void queueFilling(FormatThread& thread, std::unique_lock<std::mutex>& lock) {
    if (thread.filling.used == 0) return;
    thread.queue.push_back(thread.filling);
    if (thread.formatWaits) thread.toFormat.notify_one();
    if (thread.free.empty()) {
        thread.readerWaitsFor = batchesWaitedFor;
        waitWriting(thread, lock, [&] { return thread.free.size() >= batchesWaitedFor; });
        thread.readerWaitsFor = 0;
    }
    thread.filling = {thread.free.back(), 0};
    thread.free.pop_back();
}

// Hands the batch over; raises here what stopped the format, so that the reader stops too.
void handOver(FormatThread& thread) {
    {
        std::unique_lock lock(thread.mutex);
        raiseFailure(thread, lock);
        queueFilling(thread, lock);
    }
    writeChunks(thread);
}

// Waits until the format thread has handed on everything given so far. Raises nothing: it also runs while
// the converting thread unwinds.
void waitUntilHandedOn(FormatThread& thread) {
    std::unique_lock lock(thread.mutex);
    queueFilling(thread, lock);
    thread.readerWaitsForAll = true;
    waitWriting(thread, lock, [&] { return thread.queue.empty() && !thread.formatting; });
    thread.readerWaitsForAll = false;
}

// Room for a record of `size` bytes (at most largestQueued) in the batch being filled.
char* roomFor(FormatThread& thread, size_t size) {
    if (thread.filling.used + size > batchSize) handOver(thread);
    char* out = thread.filling.bytes + thread.filling.used;
    thread.filling.used += size;
    return out;
}

char* putRecord(FormatThread& thread, Tag tag, uint32_t first, uint8_t second, std::string_view bytes,
                size_t extra, EntryStatus status = EntryStatus::intact) {
    char* out = roomFor(thread, sizeof(Record) + extra + padded(bytes.size()));
    Record record{tag, second, static_cast<uint8_t>(status), 0, first, static_cast<uint32_t>(bytes.size())};
    std::memcpy(out, &record, sizeof record);
    if (!bytes.empty()) std::memcpy(out + sizeof record + extra, bytes.data(), bytes.size());
    return out + sizeof record;
}

void putNumberRecord(FormatThread& thread, Tag tag, uint64_t number) {
    std::memcpy(putRecord(thread, tag, 0, 0, {}, sizeof number), &number, sizeof number);
}

// A record too long to copy goes on from here, in its place: after everything before it. False when it is
// short enough to be queued.
bool handOnHere(FormatThread& thread, size_t length) {
    if (sizeof(Record) + valuesSize + padded(length) <= largestQueued) return false;
    {
        std::unique_lock lock(thread.mutex);
        raiseFailure(thread, lock);
    }
    waitUntilHandedOn(thread);
    std::unique_lock lock(thread.mutex);
    raiseFailure(thread, lock);
    return true;
}

FormatThread& threadOf(EntrySink& sink) { return *static_cast<FormatThread::Sink&>(sink).thread; }

void queueHeader(EntrySink& sink, uint32_t version, ColumnSet columns) {
    putRecord(threadOf(sink), Tag::header, version, static_cast<uint8_t>(columns), {}, 0);
}

void queueEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    FormatThread& thread = threadOf(sink);
    if (handOnHere(thread, entry.name.size())) {
        thread.target->entry(*thread.target, table, entry);
        return;
    }
    if (&table != thread.queuedTable) {
        putNumberRecord(thread, Tag::table, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&table)));
        thread.queuedTable = &table;
    }
    const RowValues* values = entry.values;
    char* out = putRecord(thread, values != nullptr ? Tag::entryWithValues : Tag::entry, entry.folder,
                          static_cast<uint8_t>(entry.kind), entry.name, values != nullptr ? valuesSize : 0,
                          entry.status);
    if (values != nullptr) {
        std::memcpy(out, &values->size, 8);
        std::memcpy(out + 8, &values->dateCreated, 8);
        std::memcpy(out + 16, &values->dateModified, 8);
        std::memcpy(out + 24, &values->dateAccessed, 8);
        std::memcpy(out + 32, &values->attributes, 4);
    }
}

void settleSink(EntrySink& sink) { waitUntilHandedOn(threadOf(sink)); }

void queueConsole(void* context, const char* text, size_t n) {
    auto& thread = *static_cast<FormatThread*>(context);
    if (handOnHere(thread, n)) {
        thread.console.write(thread.console.context, text, n);
        return;
    }
    putRecord(thread, Tag::console, 0, 0, {text, n}, 0);
}

void handOverBeforeRefill(void* context) { handOver(*static_cast<FormatThread*>(context)); }

void queueProgress(void* context) {
    auto& thread = *static_cast<FormatThread*>(context);
    putNumberRecord(thread, Tag::progress, databaseBytesRead(*thread.stream));
}

}  // namespace

FormatThreadPointer startFormatThread(RunContext& run, DatabaseStream& stream, EntrySink& target,
                                      ProgressHook progress) {
    FormatThreadPointer thread(new (std::nothrow) FormatThread, stopFormatThread);
    if (!thread) return thread;
    thread->storage.reserve(batchCount);
    thread->free.reserve(batchCount);
    for (size_t i = 0; i < batchCount; ++i) {
        thread->storage.emplace_back(new (std::nothrow) char[batchSize]);
        if (!thread->storage.back()) return FormatThreadPointer(nullptr, stopFormatThread);
        thread->free.push_back(thread->storage.back().get());
    }
    thread->filling = {thread->free.back(), 0};
    thread->free.pop_back();
    thread->stream = &stream;
    thread->target = &target;
    thread->progress = progress;
    thread->sink.thread = thread.get();
    thread->sink.header = queueHeader;
    thread->sink.entry = queueEntry;
    thread->sink.settle = settleSink;
    thread->console = run.console;
    if (!run.startThread(thread->worker, runFormatThread, thread.get())) {
        return FormatThreadPointer(nullptr, stopFormatThread);
    }
    thread->run = &run;
    run.console = {thread.get(), queueConsole};
    thread->onRefill = stream.onRefill;
    thread->beforeRefill = stream.beforeRefill;
    thread->refillContext = stream.refillContext;
    stream.beforeRefill = handOverBeforeRefill;
    stream.onRefill = progress.report != nullptr ? queueProgress : nullptr;
    stream.refillContext = thread.get();
    return thread;
}

EntrySink& formatThreadSink(FormatThread& thread) { return thread.sink; }

void writeOnConvertingThread(FormatThread& thread, CsvWriter& writer) {
    {
        std::lock_guard lock(thread.mutex);
        thread.writer = &writer;
    }
    writer.onHandedOver = wakeReaderForChunk;
    writer.handedOverContext = &thread;
}

void stopFormatThread(FormatThread* thread) {
    if (thread == nullptr) return;
    if (thread->worker.joinable()) {
        waitUntilHandedOn(*thread);
        {
            std::lock_guard lock(thread->mutex);
            thread->stopping = true;
        }
        thread->toFormat.notify_one();
        thread->worker.join();
    }
    if (thread->writer != nullptr) thread->writer->onHandedOver = nullptr;
    if (thread->run != nullptr) {
        thread->run->console = thread->console;
        thread->stream->onRefill = thread->onRefill;
        thread->stream->beforeRefill = thread->beforeRefill;
        thread->stream->refillContext = thread->refillContext;
    }
    delete thread;
}

void finishFormatThread(FormatThread& thread) {
    waitUntilHandedOn(thread);
    std::unique_lock lock(thread.mutex);
    raiseFailure(thread, lock);
}

}  // namespace catadump
