// libcatadump's reader: the conversion runs on a thread of the reader's own with a format that hands each
// record to a bounded queue of batches; catadump_next takes them out one at a time. The batches are
// reused, so a row costs no allocation once the queue has warmed up, and the queue's bound is what keeps
// memory as the program's. With CATADUMP_PROVENANCE the conversion reads through the io layer's hashing
// source, and its thread reads the rest for the hash before the end is handed over, as the program's
// summary does.
#include "library/catadump.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver/convert.h"
#include "driver/summary.h"
#include "formats/provenance.h"
#include "io/byte_source.h"
#include "model/paths.h"
#include "platform/platform.h"

namespace catadump {
namespace {

// One record as the batch holds it: its path and a NUL at `offset`; the name is the path's last
// `nameLength` bytes.
struct Record {
    size_t offset;
    size_t pathLength;
    size_t nameLength;
    uint32_t folder;
    uint32_t parent;
    bool isFolder;
    bool hasValues;
    EntryStatus status;
    RowValues values;
};

struct Batch {
    std::string bytes;
    std::vector<Record> records;
    uint64_t statedEntries = 0;  // what the database's header says, as it stood at the batch's last record
};

// A batch is handed over once it holds this much; a few of them are all the queue takes. Each hand-over
// may wake the other thread, so batches are large enough that waking costs nothing beside the entries
// (at a quarter of this size, iterating a large database took 40 % longer).
constexpr size_t batchBytes = size_t{1} << 20;
constexpr size_t batchRecords = 16384;
constexpr size_t queuedBatches = 4;
// As many decoder threads as the program's --threads allows.
constexpr unsigned maxThreads = 1024;

}  // namespace
}  // namespace catadump

struct catadump_reader {
    catadump::WatchedFile file;  // a descriptor or the database opened by path; the wakeup ends its waits
    catadump::platform::Wakeup wakeup;
    bool ownsFile = false;
    catadump::ByteSource source;
    catadump_read_function readFunction = nullptr;
    void* readContext = nullptr;
    catadump_options options{};
    unsigned flags = 0;
    // With CATADUMP_PROVENANCE, the source is read through `hashing`. The conversion's thread fills in
    // `provenance` (the summary's record of the database) before it hands the end over.
    std::unique_ptr<catadump::HashingInput> hashing;
    catadump::ByteSource restSource;  // the source itself, read for the rest of the hash until the close
    catadump::Provenance provenance;

    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<catadump::Batch>> full;  // oldest first
    std::vector<std::unique_ptr<catadump::Batch>> spare;
    bool finished = false;               // the conversion has ended; `result` holds its outcome
    std::atomic<bool> cancelled{false};  // catadump_close: the conversion stops at its next record
    // catadump_close from one of the reader's own callbacks: whichever of the conversion's thread (once
    // it ends) and the last catadump_next waiting for it leaves last frees the reader.
    std::atomic<bool> closeDeferred{false};
    unsigned waiting = 0;  // catadump_next calls waiting for a batch
    catadump::ConversionResult result;

    // The conversion's side.
    std::unique_ptr<catadump::Batch> filling;
    std::string console;
    uint32_t version = 0;
    std::string headerLine;
    bool versionKnown = false;

    // With CATADUMP_ON_CALLER: catadump_each's function, and the path of the entry it is given.
    catadump_entry_function each = nullptr;
    void* eachContext = nullptr;
    std::string path;
    bool stopped = false;  // the function asked for no more entries
    uint64_t given = 0;    // the entries it was given

    // The caller's side.
    uint64_t statedEntries = 0;  // as the last batch taken (or the last entry given) had it
    std::unique_ptr<catadump::Batch> reading;
    size_t nextRecord = 0;
    bool endGiven = false;  // catadump_next has given 0 or -1
};

namespace catadump {
namespace {

// The reader whose callback this thread is running, if any: catadump_close from there cannot wait for
// the conversion, which waits for the callback.
thread_local catadump_reader* callingBack = nullptr;

struct CallingBack {
    explicit CallingBack(catadump_reader& reader) : previous(callingBack) { callingBack = &reader; }
    ~CallingBack() { callingBack = previous; }
    CallingBack(const CallingBack&) = delete;
    CallingBack& operator=(const CallingBack&) = delete;
    catadump_reader* previous;
};

void destroy(catadump_reader* reader) {
    platform::closeWakeup(reader->wakeup);
    if (reader->ownsFile) platform::closeFile(reader->file.file);
    delete reader;
}

void handOver(catadump_reader& reader) {
    std::unique_lock lock(reader.mutex);
    reader.changed.wait(lock, [&] { return reader.cancelled || reader.full.size() < queuedBatches; });
    if (reader.cancelled) throw OutputClosed{};  // the conversion ends as for a list nobody reads
    reader.full.push_back(std::move(reader.filling));
    if (!reader.spare.empty()) {
        reader.filling = std::move(reader.spare.back());
        reader.spare.pop_back();
    }
    reader.changed.notify_all();
    lock.unlock();
    if (!reader.filling) reader.filling = std::make_unique<Batch>();
    reader.filling->bytes.clear();
    reader.filling->records.clear();
}

void takeHeader(RowOutput& output, ColumnSet columns) {
    auto& reader = *static_cast<catadump_reader*>(output.context);
    std::lock_guard lock(reader.mutex);
    reader.version = output.version;
    reader.headerLine = headerLineText(columns);
    reader.versionKnown = true;
}

// The entry's record, its path (and a NUL) appended to `bytes`; the name is the path's last piece, so it
// needs no bytes of its own.
Record recordOf(FolderTable& table, const Entry& entry, std::string& bytes) {
    Record record{};
    record.offset = bytes.size();
    record.isFolder = entry.kind == EntryKind::folder;
    if (record.isFolder) {
        record.folder = entry.folder;
        record.parent = table.entries[entry.folder].parent;
        appendFolderPath(bytes, table, record.parent);
        size_t at = bytes.size();
        appendVisibleName(bytes, table, entry.folder);
        record.nameLength = bytes.size() - at;
    } else {
        record.folder = CATADUMP_NO_FOLDER;
        record.parent = entry.folder;
        appendFolderPath(bytes, table, entry.folder);
        bytes += entry.name;
        record.nameLength = entry.name.size();
    }
    record.pathLength = bytes.size() - record.offset;
    bytes += '\0';
    if (record.parent >= table.entries.size()) record.parent = CATADUMP_NO_FOLDER;
    record.hasValues = entry.values != nullptr;
    if (entry.values != nullptr) record.values = *entry.values;
    record.values.attributes = entryAttributes(entry);
    record.status = entry.status;
    return record;
}

static_assert(static_cast<int>(EntryStatus::intact) == CATADUMP_INTACT &&
              static_cast<int>(EntryStatus::recovered) == CATADUMP_RECOVERED &&
              static_cast<int>(EntryStatus::partial) == CATADUMP_PARTIAL);

// The status only with `status`: for a reader opened with CATADUMP_RECOVER, whose caller's entries have it.
void fillEntry(catadump_entry* entry, const Record& record, const char* bytes, bool status) {
    entry->is_folder = record.isFolder ? 1 : 0;
    entry->path = bytes;
    entry->path_length = record.pathLength;
    entry->name = bytes + record.pathLength - record.nameLength;
    entry->name_length = record.nameLength;
    entry->folder = record.folder;
    entry->parent = record.parent;
    entry->has_values = record.hasValues ? 1 : 0;
    entry->size = record.values.size;
    entry->created = record.values.dateCreated;
    entry->modified = record.values.dateModified;
    entry->accessed = record.values.dateAccessed;
    entry->attributes = record.values.attributes;
    if (status) entry->status = static_cast<int>(record.status);
}

bool recovers(const catadump_reader& reader) { return (reader.flags & CATADUMP_RECOVER) != 0; }

// The path goes straight into the batch.
void takeEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    auto& reader = *static_cast<catadump_reader*>(rowOutput(sink).context);
    Batch& batch = *reader.filling;
    batch.statedEntries = sink.statedEntries;
    batch.records.push_back(recordOf(table, entry, batch.bytes));
    if (batch.bytes.size() >= batchBytes || batch.records.size() >= batchRecords) handOver(reader);
}

// With CATADUMP_ON_CALLER: each entry to the caller's function, on this same thread, with no queue between.
void giveEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    auto& reader = *static_cast<catadump_reader*>(rowOutput(sink).context);
    reader.statedEntries = sink.statedEntries;
    reader.path.clear();
    Record record = recordOf(table, entry, reader.path);
    catadump_entry given{};  // the library's own entry: intact unless the status is written
    fillEntry(&given, record, reader.path.data(), recovers(reader));
    ++reader.given;
    int stop;
    {
        CallingBack marked(reader);
        stop = reader.each(reader.eachContext, &given);
    }
    if (stop != 0 || reader.cancelled) {
        reader.stopped = true;
        reader.cancelled = true;  // as a reader closed early
        throw OutputClosed{};     // the conversion ends as for a list nobody reads
    }
}

const OutputFormat recordQueue = {"records", takeHeader, takeEntry};
const OutputFormat entriesToCaller = {"entries", takeHeader, giveEntry};

void keepConsole(void* context, const char* text, size_t n) {
    auto& reader = *static_cast<catadump_reader*>(context);
    if (reader.options.console != nullptr) {
        // Once closed from a callback, the caller's callbacks are called no more: their context may be gone.
        if (reader.closeDeferred) return;
        CallingBack marked(reader);
        reader.options.console(reader.options.console_context, text, n);
    } else {
        reader.console.append(text, n);
    }
}

// The rest of the database after the conversion, read for the hash until catadump_close (a callback's
// source, which no wakeup ends, is asked no more then).
int64_t readRestUntilClosed(void* context, void* destination, size_t n) {
    auto& reader = *static_cast<catadump_reader*>(context);
    if (reader.cancelled) return -1;
    return reader.restSource.read(reader.restSource.context, destination, n);
}
int restError(void* context) {
    auto& reader = *static_cast<catadump_reader*>(context);
    return reader.restSource.lastError(reader.restSource.context);
}

// What the conversion gave and, with CATADUMP_PROVENANCE, the rest of the database read for the hash (a
// conversion that stopped early left it unread), as the program's summary records them. A read that
// failed leaves no hash: the bytes hashed are not the database's.
void finishProvenance(catadump_reader& reader, const ConversionResult& result) {
    Provenance& provenance = reader.provenance;
    if (reader.hashing) {
        reader.restSource = reader.hashing->inner;
        reader.hashing->inner = ByteSource{&reader, readRestUntilClosed, restError};
        bool whole = readRestForHash(*reader.hashing);
        std::string sha256 = reader.hashing->hash.finish();
        provenance.sha256 = whole ? std::move(sha256) : std::string();
        provenance.size = reader.hashing->bytes;
    }
    recordConversion(provenance, result);
}

// The whole conversion with `format` on this thread; then the report (and the provenance) filled in and
// the end marked. True when the reader is to be freed here: closed by one of its own callbacks meanwhile,
// with nobody else left to free it.
bool convertHere(catadump_reader& reader, const OutputFormat& format) {
    ConversionResult result;
    try {
        reader.filling = std::make_unique<Batch>();
        ConversionOptions options;
        options.decoderThreads = reader.options.threads;
        options.format = &format;
        options.formatContext = &reader;
        options.recover = recovers(reader);
        result = convert(reader.source, discardingSink(), Console{&reader, keepConsole}, options);
        if (!reader.filling->records.empty()) handOver(reader);
    } catch (const OutputClosed&) {
    } catch (const std::bad_alloc&) {
        result.fatalLine = "Out of Memory\n";
    }
    if (reader.stopped) {
        recordConversion(reader.provenance, result);  // the rest is not read for a hash
        reader.provenance.rows = reader.given;
    } else if (!reader.cancelled) {
        finishProvenance(reader, result);
    }
    std::lock_guard lock(reader.mutex);
    reader.result = result;
    reader.finished = true;
    reader.changed.notify_all();
    return reader.closeDeferred && reader.waiting == 0;
}

void runConversion(void* context) {
    auto& reader = *static_cast<catadump_reader*>(context);
    if (convertHere(reader, recordQueue)) destroy(&reader);
}

int64_t readThroughCallback(void* context, void* destination, size_t n) {
    auto& reader = *static_cast<catadump_reader*>(context);
    if (reader.closeDeferred) return -1;
    CallingBack marked(reader);
    return reader.readFunction(reader.readContext, destination, n);
}
int noErrorCode(void*) { return 0; }

// The reader on its own thread; on failure the reader is freed (and a file it opened closed). With
// CATADUMP_PROVENANCE the conversion reads its source through the hashing source, hashed on the
// conversion's thread: a thread of its own for the hash, as the program has, measured no faster here (the
// caller's thread takes the other core), and slower for a raw database.
int start(std::unique_ptr<catadump_reader> reader, catadump_reader** out) {
    if ((reader->flags & CATADUMP_PROVENANCE) != 0) {
        reader->hashing.reset(new (std::nothrow) HashingInput);
        if (!reader->hashing) {
            destroy(reader.release());
            errno = ENOMEM;
            return -1;
        }
        reader->hashing->inner = reader->source;
        reader->source = hashingSource(*reader->hashing);
    }
    if ((reader->flags & CATADUMP_ON_CALLER) == 0 &&
        !startSystemThread(reader->thread, runConversion, reader.get())) {
        destroy(reader.release());
        return -1;
    }
    *out = reader.release();
    return 0;
}

// A new reader with the options and flags, or NULL: errno EINVAL for options out of range or unknown
// flags, ENOMEM without memory.
catadump_reader* newReader(const catadump_options* options, unsigned flags) {
    if ((options != nullptr && options->threads > maxThreads) ||
        (flags & ~(CATADUMP_PROVENANCE | CATADUMP_ON_CALLER | CATADUMP_RECOVER)) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* reader = new (std::nothrow) catadump_reader;
    if (reader == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (options != nullptr) reader->options = *options;
    reader->flags = flags;
    return reader;
}

// A descriptor's reads wait for data with the wakeup watched, so that closing never waits for a pipe.
bool watchFile(catadump_reader& reader) {
    if (!platform::makeWakeup(reader.wakeup)) return false;
    reader.file.wakeup = &reader.wakeup;
    reader.source = watchedFileSource(reader.file);
    return true;
}

// The next entry, waiting `milliseconds` at most unless that is negative: CATADUMP_WAITING when they passed.
int nextEntry(catadump_reader* reader, catadump_entry* entry, long long milliseconds) {
    if ((reader->flags & CATADUMP_ON_CALLER) != 0) {
        // Its entries go to catadump_each's function; after that, the end is what catadump_each gave.
        if (!reader->endGiven) {
            errno = EINVAL;
            return -1;
        }
        return reader->result.fatalLine != nullptr ? -1 : 0;
    }
    while (!reader->reading || reader->nextRecord == reader->reading->records.size()) {
        std::unique_lock lock(reader->mutex);
        if (reader->reading) reader->spare.push_back(std::move(reader->reading));
        reader->changed.notify_all();
        auto ready = [&] { return !reader->full.empty() || reader->finished || reader->closeDeferred; };
        ++reader->waiting;
        bool arrived = true;
        if (milliseconds >= 0) {
            arrived = reader->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        } else {
            reader->changed.wait(lock, ready);
        }
        if (reader->closeDeferred) {
            // Closed by a callback meanwhile: the conversion ends at once (no callback is called again and
            // no batch is taken), so it is waited for here, and the reader freed, not to be used again.
            reader->changed.wait(lock, [&] { return reader->finished; });
            bool freeHere = --reader->waiting == 0;
            lock.unlock();
            if (freeHere) destroy(reader);
            return -1;
        }
        --reader->waiting;
        if (!arrived) return CATADUMP_WAITING;
        if (reader->full.empty()) {
            reader->endGiven = true;
            return reader->result.fatalLine != nullptr ? -1 : 0;
        }
        reader->reading = std::move(reader->full.front());
        reader->full.pop_front();
        reader->statedEntries = reader->reading->statedEntries;
        reader->nextRecord = 0;
    }
    const Record& record = reader->reading->records[reader->nextRecord++];
    fillEntry(entry, record, reader->reading->bytes.data() + record.offset, recovers(*reader));
    return 1;
}

}  // namespace
}  // namespace catadump

using namespace catadump;

extern "C" {

int catadump_open_path_with(const char* path, const catadump_options* options, unsigned flags,
                            catadump_reader** out) {
    *out = nullptr;
    std::unique_ptr<catadump_reader> reader(newReader(options, flags));
    if (!reader) return -1;
    if (path == nullptr || !platform::openForSequentialRead(path, reader->file.file)) return -1;
    reader->ownsFile = true;
    if (!watchFile(*reader)) {
        destroy(reader.release());
        return -1;
    }
    if ((flags & CATADUMP_PROVENANCE) != 0) noteModification(reader->file.file, reader->provenance);
    return start(std::move(reader), out);
}

int catadump_open_fd_with(int fd, const catadump_options* options, unsigned flags, catadump_reader** out) {
    *out = nullptr;
    std::unique_ptr<catadump_reader> reader(newReader(options, flags));
    if (!reader) return -1;
    reader->file.file = platform::File{fd};
    if (!watchFile(*reader)) return -1;
    if ((flags & CATADUMP_PROVENANCE) != 0) noteModification(reader->file.file, reader->provenance);
    return start(std::move(reader), out);
}

int catadump_open_callbacks_with(catadump_read_function read, void* context, const catadump_options* options,
                                 unsigned flags, catadump_reader** out) {
    *out = nullptr;
    if (read == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::unique_ptr<catadump_reader> reader(newReader(options, flags));
    if (!reader) return -1;
    reader->readFunction = read;
    reader->readContext = context;
    reader->source = ByteSource{reader.get(), readThroughCallback, noErrorCode};
    return start(std::move(reader), out);
}

int catadump_open_path(const char* path, const catadump_options* options, catadump_reader** out) {
    return catadump_open_path_with(path, options, 0, out);
}

int catadump_open_fd(int fd, const catadump_options* options, catadump_reader** out) {
    return catadump_open_fd_with(fd, options, 0, out);
}

int catadump_open_callbacks(catadump_read_function read, void* context, const catadump_options* options,
                            catadump_reader** out) {
    return catadump_open_callbacks_with(read, context, options, 0, out);
}

int catadump_each(catadump_reader* reader, catadump_entry_function each, void* context) {
    if (reader == nullptr || each == nullptr || (reader->flags & CATADUMP_ON_CALLER) == 0 ||
        reader->each != nullptr) {
        errno = EINVAL;
        return -1;
    }
    reader->each = each;
    reader->eachContext = context;
    bool closed = convertHere(*reader, entriesToCaller);
    if (closed) {
        destroy(reader);
        errno = ECANCELED;
        return -1;
    }
    reader->endGiven = true;
    if (reader->stopped) return CATADUMP_STOPPED;
    return reader->result.fatalLine != nullptr ? -1 : 0;
}

uint64_t catadump_stated_entries(catadump_reader* reader) { return reader->statedEntries; }

int catadump_next(catadump_reader* reader, catadump_entry* entry) { return nextEntry(reader, entry, -1); }

int catadump_next_timeout(catadump_reader* reader, catadump_entry* entry, unsigned milliseconds) {
    return nextEntry(reader, entry, milliseconds);
}

uint32_t catadump_version(catadump_reader* reader) {
    std::lock_guard lock(reader->mutex);
    return reader->version;
}

const char* catadump_header_line(catadump_reader* reader) {
    std::lock_guard lock(reader->mutex);
    return reader->headerLine.c_str();
}

int catadump_read_error(catadump_reader* reader) {
    std::lock_guard lock(reader->mutex);
    return reader->result.flags.readError ? 1 : 0;
}

int catadump_corrupt(catadump_reader* reader) {
    std::lock_guard lock(reader->mutex);
    return reader->result.flags.corrupt ? 1 : 0;
}

int catadump_recognised(catadump_reader* reader) {
    std::lock_guard lock(reader->mutex);
    return reader->result.recognised ? 1 : 0;
}

const char* catadump_fatal_line(catadump_reader* reader) {
    std::lock_guard lock(reader->mutex);
    return reader->result.fatalLine;
}

const char* catadump_console(catadump_reader* reader, size_t* length) {
    std::lock_guard lock(reader->mutex);
    if (!reader->finished) {
        if (length != nullptr) *length = 0;
        return "";
    }
    if (length != nullptr) *length = reader->console.size();
    return reader->console.c_str();
}

int catadump_provenance_of(catadump_reader* reader, catadump_provenance* out) {
    if (!reader->endGiven) {
        errno = EAGAIN;
        return -1;
    }
    // The conversion's thread filled the record in before it handed the end over; nothing changes it since.
    const Provenance& provenance = reader->provenance;
    out->size = provenance.size;
    out->sha256 = provenance.sha256.c_str();
    out->has_modified = provenance.hasModified ? 1 : 0;
    out->modified = provenance.modified;
    out->rows = provenance.rows;
    out->dates_out_of_range = provenance.datesOutOfRange;
    return 0;
}

void catadump_close(catadump_reader* reader) {
    if (reader == nullptr) return;
    bool deferred = callingBack == reader;
    {
        std::lock_guard lock(reader->mutex);
        reader->cancelled = true;
        if (deferred) {
            // From the reader's own callback: the conversion cannot end before the callback returns, so
            // the reader is left to its thread, which frees it once the conversion has ended.
            reader->closeDeferred = true;
            if (reader->thread.joinable()) reader->thread.detach();
        }
        reader->changed.notify_all();
    }
    platform::signalWakeup(reader->wakeup);  // a read waiting for a pipe gives up
    if (deferred) return;
    if (reader->thread.joinable()) reader->thread.join();
    destroy(reader);
}

}  // extern "C"
