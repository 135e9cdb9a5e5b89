// What the readers produce and the formats consume: one record per folder and per file, in the order the
// list has them, handed to a sink. The readers know no format: a sink is anything that takes entries (an
// output format, the library's record queue, a test).
//
// A record names the pieces of its path rather than carrying the path: the folder table builds and keeps
// folder paths, so the list format copies a kept path straight into the writer's buffer with no work per
// row, and a format that must look at every byte (to escape it) asks for the whole path (model/paths.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "model/folder_table.h"

namespace catadump {

// Versions up to 1.7.8 have the name and the attributes; later ones the name and five value columns.
enum class ColumnSet { nameAndAttributes, withValues };

// The list's header line for the columns, without its line end.
const char* headerLineText(ColumnSet columns);

// The five value columns of the later versions. Dates are Windows file times: 100-nanosecond intervals
// since 1601-01-01 UTC, 0 when not set.
struct RowValues {
    uint64_t size = 0;
    uint64_t dateCreated = 0;
    uint64_t dateModified = 0;
    uint64_t dateAccessed = 0;
    uint32_t attributes = 0;
};

enum class EntryKind { folder, file };

// What a row is, in a run that recovers a damaged database: read before any damage; read whole after a
// gap the damage left; or read after a gap with a piece of its path lost (shown as "<?>", which no
// Windows name can hold). A strict run's entries are all intact.
enum class EntryStatus : uint8_t { intact, recovered, partial };

inline const char* statusText(EntryStatus status) {
    switch (status) {
    case EntryStatus::recovered:
        return "recovered";
    case EntryStatus::partial:
        return "partial";
    case EntryStatus::intact:
        break;
    }
    return "intact";
}

struct Entry {
    EntryKind kind = EntryKind::file;
    // A folder's own index; for a file, the folder it is in (noFolder: it hangs from a filesystem).
    uint32_t folder = noFolder;
    std::string_view name;              // a file's name as shown; a folder's is in the table
    const RowValues* values = nullptr;  // null for the versions without value columns
    EntryStatus status = EntryStatus::intact;
};

// The attributes column of the versions without values: 16 (the folder bit) for a folder, 0 for a file.
inline uint32_t entryAttributes(const Entry& entry) {
    if (entry.values != nullptr) return entry.values->attributes;
    return entry.kind == EntryKind::folder ? 16 : 0;
}

// Where a reader hands what it reads: the header once, with the database's version word and its columns,
// before any entry; then every entry. A sink is a record whose first member is this one; its functions
// reach the rest through the reference they are given (plain function pointers, as the entries are many
// and a call per entry is all they may cost).
struct EntrySink {
    void (*header)(EntrySink& sink, uint32_t version, ColumnSet columns) = nullptr;
    void (*entry)(EntrySink& sink, FolderTable& table, const Entry& entry) = nullptr;
    // For a sink that goes on using the table after an entry's call has returned (on another thread):
    // returns once it no longer does. Null for the sinks that are done with each entry as it returns.
    void (*settle)(EntrySink& sink) = nullptr;
    uint64_t entriesSent = 0;  // the entries handed to it
    // The entries the database's header says it holds (its folders and files), set by the reader before its
    // first entry; 0 until then, and for a database whose header is not read. Damage may leave fewer.
    uint64_t statedEntries = 0;
};

// Declared by a reader right after its folder table, which is declared after everything the table's names
// point into: however the reader's function ends, by a return or an exception, the sink has settled
// before any of them goes.
struct TableInUse {
    explicit TableInUse(EntrySink& user) : sink(user) {}
    TableInUse(const TableInUse&) = delete;
    TableInUse& operator=(const TableInUse&) = delete;
    ~TableInUse() {
        if (sink.settle != nullptr) sink.settle(sink);
    }
    EntrySink& sink;
};

inline void stateEntries(EntrySink& sink, uint32_t folders, uint32_t files) {
    sink.statedEntries = uint64_t{folders} + files;
}
inline void sendHeader(EntrySink& sink, uint32_t version, ColumnSet columns) {
    sink.header(sink, version, columns);
}
inline void sendEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    ++sink.entriesSent;
    sink.entry(sink, table, entry);
}

}  // namespace catadump
