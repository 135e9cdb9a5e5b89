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

// Batches large enough that handing one over (a lock and perhaps a wakeup) is rare beside the few
// thousand entries it holds, and few enough that the queue stays in the processor's cache.
constexpr size_t batchSize = size_t{256} << 10;
constexpr size_t batchCount = 4;
// A record longer than this (an enormous name or console line) is not copied: the converting thread
// hands it on itself, once the format thread has handed on everything before it.
constexpr size_t largestQueued = batchSize / 4;

enum class Tag : uint32_t { header, table, entry, entryWithValues, console, progress };

// Each record: this, then the values of an entry that has them, then `length` bytes, padded to 8.
struct Record {
    Tag tag;
    uint32_t first;   // header: the version word; entry: the folder
    uint32_t second;  // header: the column set; entry: the kind
    uint32_t length;  // the bytes that follow: an entry's name, a console line's text
    uint64_t number;  // table: its address; progress: the database bytes read
};

constexpr size_t padded(size_t n) { return (n + 7) & ~size_t{7}; }

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

    // The converting thread's: the batch it fills, and the table its entries were last read with.
    Batch filling{nullptr, 0};
    const FolderTable* queuedTable = nullptr;

    std::vector<std::unique_ptr<char[]>> storage;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Batch> queue;   // handed over, oldest first
    std::vector<char*> free;   // batches ready to be filled
    bool busy = false;         // the format thread is handing on a batch it took
    bool stopping = false;     // end once the queue is handed on
    std::exception_ptr failure;  // what stopped the format; nothing is handed on after it
    bool failureRaised = false;  // the converting thread has met it already
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
        RowValues values;
        if (record.tag == Tag::entryWithValues) {
            std::memcpy(&values, at, sizeof values);
            at += sizeof values;
        }
        std::string_view bytes(at, record.length);
        at += padded(record.length);
        switch (record.tag) {
        case Tag::header:
            target.header(target, record.first, static_cast<ColumnSet>(record.second));
            break;
        case Tag::table:
            table = reinterpret_cast<FolderTable*>(static_cast<uintptr_t>(record.number));
            break;
        case Tag::entry:
        case Tag::entryWithValues:
            target.entry(target, *table,
                         {static_cast<EntryKind>(record.second), record.first, bytes,
                          record.tag == Tag::entryWithValues ? &values : nullptr});
            break;
        case Tag::console:
            thread.console.write(thread.console.context, bytes.data(), bytes.size());
            break;
        case Tag::progress:
            thread.progress.report(thread.progress.context, record.number);
            break;
        }
    }
}

void runFormatThread(void* context) {
    auto& thread = *static_cast<FormatThread*>(context);
    FolderTable* table = nullptr;
    std::unique_lock lock(thread.mutex);
    for (;;) {
        thread.changed.wait(lock, [&] { return thread.stopping || !thread.queue.empty(); });
        if (thread.queue.empty()) return;
        Batch batch = thread.queue.front();
        thread.queue.pop_front();
        bool handOn = !thread.failure;
        thread.busy = true;
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
        thread.busy = false;
        thread.free.push_back(batch.bytes);
        thread.changed.notify_all();
    }
}

// ---- The converting thread ----

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
    thread.changed.notify_all();
    thread.changed.wait(lock, [&] { return !thread.free.empty(); });
    thread.filling = {thread.free.back(), 0};
    thread.free.pop_back();
}

// Hands the batch over; raises here what stopped the format, so that the reader stops too.
void handOver(FormatThread& thread) {
    std::unique_lock lock(thread.mutex);
    raiseFailure(thread, lock);
    queueFilling(thread, lock);
}

// Waits until the format thread has handed on everything given so far. Raises nothing: it also runs while
// the converting thread unwinds.
void waitUntilHandedOn(FormatThread& thread) {
    std::unique_lock lock(thread.mutex);
    queueFilling(thread, lock);
    thread.changed.wait(lock, [&] { return thread.queue.empty() && !thread.busy; });
}

// Room for a record of `size` bytes in the batch being filled; null when the record is too long to copy.
char* roomFor(FormatThread& thread, size_t size) {
    if (size > largestQueued) return nullptr;
    if (thread.filling.used + size > batchSize) handOver(thread);
    return thread.filling.bytes + thread.filling.used;
}

void putRecord(FormatThread& thread, const Record& record, const RowValues* values = nullptr,
               std::string_view bytes = {}) {
    size_t size = sizeof record + (values != nullptr ? sizeof *values : 0) + padded(bytes.size());
    char* out = roomFor(thread, size);
    std::memcpy(out, &record, sizeof record);
    out += sizeof record;
    if (values != nullptr) {
        std::memcpy(out, values, sizeof *values);
        out += sizeof *values;
    }
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    thread.filling.used += size;
}

// A record too long to copy goes on from here, in its place: after everything before it.
bool handOnHere(FormatThread& thread, size_t length) {
    if (sizeof(Record) + sizeof(RowValues) + padded(length) <= largestQueued) return false;
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
    FormatThread& thread = threadOf(sink);
    putRecord(thread, {Tag::header, version, static_cast<uint32_t>(columns), 0, 0});
}

void queueEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    FormatThread& thread = threadOf(sink);
    if (handOnHere(thread, entry.name.size())) {
        thread.target->entry(*thread.target, table, entry);
        return;
    }
    if (&table != thread.queuedTable) {
        putRecord(thread, {Tag::table, 0, 0, 0, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&table))});
        thread.queuedTable = &table;
    }
    Tag tag = entry.values != nullptr ? Tag::entryWithValues : Tag::entry;
    putRecord(thread,
              {tag, entry.folder, static_cast<uint32_t>(entry.kind), static_cast<uint32_t>(entry.name.size()), 0},
              entry.values, entry.name);
}

void settleSink(EntrySink& sink) { waitUntilHandedOn(threadOf(sink)); }

void queueConsole(void* context, const char* text, size_t n) {
    auto& thread = *static_cast<FormatThread*>(context);
    if (handOnHere(thread, n)) {
        thread.console.write(thread.console.context, text, n);
        return;
    }
    putRecord(thread, {Tag::console, 0, 0, static_cast<uint32_t>(n), 0}, nullptr, {text, n});
}

void handOverBeforeRefill(void* context) { handOver(*static_cast<FormatThread*>(context)); }

void queueProgress(void* context) {
    auto& thread = *static_cast<FormatThread*>(context);
    putRecord(thread, {Tag::progress, 0, 0, 0, databaseBytesRead(*thread.stream)});
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

void stopFormatThread(FormatThread* thread) {
    if (thread == nullptr) return;
    if (thread->worker.joinable()) {
        waitUntilHandedOn(*thread);
        {
            std::lock_guard lock(thread->mutex);
            thread->stopping = true;
        }
        thread->changed.notify_all();
        thread->worker.join();
    }
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
