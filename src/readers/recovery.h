// Recovery of a damaged database (--recover): what the readers share when they go on past damage.
//
// A reader that recovers reads its records from a window of the decoded data rather than field by field,
// so that where a record turns out to be damaged it can look further on, byte by byte, for the next
// position where a run of records makes sense, and take up the reading there. What lies between is a gap:
// reported with where it starts and how many bytes it took, never guessed at. A name front-coded against a
// name the gap took keeps the lost piece as "<?>" (no Windows name can hold it).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "input/database_stream.h"
#include "model/entry.h"
#include "model/folder_table.h"
#include "readers/filesystem_table.h"
#include "readers/name_decoding.h"

namespace catadump {

// The decoded data from where recovery began, read ahead so that a reader can look at any byte up to
// `lookahead` past its position without taking it.
// Bytes held without being set first: each is written once, by the read that brings it.
struct WindowBytes {
    std::unique_ptr<uint8_t[]> bytes;
    size_t count = 0;
    size_t capacity = 0;
    const uint8_t* data() const { return bytes.get(); }
    size_t size() const { return count; }
};

struct RecoveryWindow {
    DatabaseStream* stream = nullptr;
    WindowBytes bytes;
    size_t at = 0;          // the reader's position in `bytes`
    uint64_t dropped = 0;   // bytes dropped from the front of `bytes` so far
    uint64_t startsAt = 0;  // where the window began in the decoded data
    bool ended = false;     // the data has no more bytes
};

void openRecoveryWindow(RecoveryWindow& window, DatabaseStream& stream, uint64_t decodedOffset);

// At least `n` bytes at the position (fewer only where the data ends): how many there are. Asked for every
// record: where the bytes are at hand and none need dropping, it costs no call.
size_t windowAvailableSlow(RecoveryWindow& window, size_t n);
inline constexpr size_t windowDropAfter = (size_t{1} << 20) + (size_t{64} << 10);
inline size_t windowAvailable(RecoveryWindow& window, size_t n) {
    if (window.bytes.size() - window.at >= n && window.at <= windowDropAfter) return n;
    return windowAvailableSlow(window, n);
}
inline const uint8_t* windowData(const RecoveryWindow& window) { return window.bytes.data() + window.at; }
inline void windowAdvance(RecoveryWindow& window, size_t n) { window.at += n; }
// Back by `n` bytes, at most 64 KiB: those behind the position are kept that far.
inline void windowBack(RecoveryWindow& window, size_t n) { window.at -= n; }
// To `offset` in the decoded data; behind the position, no further back than the window keeps bytes: false
// when the bytes at `offset` are no longer kept.
inline bool windowSeek(RecoveryWindow& window, uint64_t offset) {
    uint64_t first = window.startsAt + window.dropped;
    window.at = static_cast<size_t>(std::max(offset, first) - first);
    return offset >= first;
}
// The position's offset in the decoded data.
inline uint64_t windowOffset(const RecoveryWindow& window) {
    return window.startsAt + window.dropped + window.at;
}

// How many zero bytes begin at the position, counting at most `limit`.
size_t zeroRun(RecoveryWindow& window, size_t limit);

// A name of a front-coded list as far as it is known: after a gap, its first piece is lost and only the
// bytes after it (`tail`) are known.
struct RecoveredName {
    std::string tail;
    bool whole = true;
};

// The next name: the previous one less `strip` bytes, then `suffix`. A strip that reaches into the lost
// piece leaves the suffix after a piece still lost (of a length still unknown).
inline void stepRecoveredName(RecoveredName& name, uint64_t strip, std::string_view suffix) {
    if (strip <= name.tail.size()) {
        name.tail.resize(name.tail.size() - static_cast<size_t>(strip));
    } else {
        name.tail.clear();  // the strip reached into the lost piece, which is still lost
    }
    name.tail.append(suffix);
}

// What stands for a lost piece of a path: a piece of a name, or a folder whose record was lost. No Windows
// name can hold it.
inline constexpr std::string_view lostPiece = "<?>";

// The name as a row shows it: "<?>" for the lost piece, then the known bytes up to the first zero byte.
void showRecoveredName(const RecoveredName& name, std::string& shown);

// ---- Records read from bytes at hand ----

// How much a record must prove. An acceptable record is one no valid database fails: its fields in range,
// no byte a name cannot hold, values in range. A likely one also has values such as real files have
// (each version says which), so that a record the damage began in seldom passes. A convincing one, which a
// run after a gap is made of, is likely and no mere repeat of the name before, which garbage and bytes read
// out of step rarely are.
enum class Proof { acceptable, likely, convincing };
enum class Parsed { whole, cut, wrong };  // cut: the bytes at hand end inside the record

// The longest suffix and strip a valid name has (a name is at most 255 characters of up to four bytes),
// and the most bytes any version's record takes besides its suffix.
inline constexpr uint32_t longestSuffix = 1024;
inline constexpr uint32_t longestStrip = 4096;
inline constexpr size_t longestRecord = longestSuffix + 128;

// A file record as a version's parser reads it.
struct RecoveredRecord {
    uint32_t folder = noFolder;  // the folder it is in
    uint32_t strip = 0;          // its front-coded name: the strip count and the suffix
    std::string_view suffix;
    RowValues values;
    bool hasValues = false;
    size_t length = 0;  // its bytes
};

// A record's bytes, taken field by field.
struct RecordBytes {
    const uint8_t* bytes;
    size_t size;
    size_t at = 0;
};
inline bool takeBytes(RecordBytes& record, size_t n) {
    if (record.size - record.at < n) return false;
    record.at += n;
    return true;
}
inline bool takeU8(RecordBytes& record, uint8_t& value) {
    if (record.at == record.size) return false;
    value = record.bytes[record.at++];
    return true;
}
inline bool takeU32(RecordBytes& record, uint32_t& value) {
    if (record.size - record.at < 4) return false;
    value = loadU32(record.bytes + record.at);
    record.at += 4;
    return true;
}
inline bool takeU64(RecordBytes& record, uint64_t& value) {
    if (record.size - record.at < 8) return false;
    value = loadU64(record.bytes + record.at);
    record.at += 8;
    return true;
}
// A front-coded name (the counts compact or bytes, as the version has them) into out.strip and out.suffix:
// wrong when a count is beyond any valid name's or the suffix holds a byte no name holds (in a likely
// record, none a real file's name lacks).
// The name bytes refused in any record: the separators, and the zero byte (which would end the name as rows
// show it); and in a likely one, every control byte, which real files' names lack.
inline constexpr std::array<std::array<bool, 256>, 2> refusedNameBytes = [] {
    std::array<std::array<bool, 256>, 2> table{};
    for (size_t byte = 0; byte < 256; ++byte) {
        bool separator = byte == '\\' || byte == '/';
        table[0][byte] = byte == 0 || separator;
        table[1][byte] = byte < 0x20 || separator;
    }
    return table;
}();

inline Parsed takeName(RecordBytes& record, CountWidth width, Proof proof, RecoveredRecord& out) {
    auto count = [&](uint32_t& value) {
        uint8_t first = 0;
        if (!takeU8(record, first)) return false;
        if (width == CountWidth::byte || first != 255) {
            value = first;
            return true;
        }
        return takeU32(record, value);
    };
    uint32_t suffixLength = 0;
    out.strip = 0;
    if (!count(suffixLength)) return Parsed::cut;
    if (suffixLength > longestSuffix) return Parsed::wrong;
    if (suffixLength != 0) {
        if (!count(out.strip)) return Parsed::cut;
        if (out.strip > longestStrip) return Parsed::wrong;
    }
    const uint8_t* suffix = record.bytes + record.at;
    if (!takeBytes(record, suffixLength)) return Parsed::cut;
    // Every name byte of every record is looked at: a table rather than comparisons.
    const bool* refused = refusedNameBytes[proof == Proof::acceptable ? 0 : 1].data();
    for (uint32_t k = 0; k < suffixLength; ++k) {
        if (refused[suffix[k]]) return Parsed::wrong;
    }
    out.suffix = {reinterpret_cast<const char*>(suffix), suffixLength};
    return Parsed::whole;
}

// A version's reading of one file record: `context` is the version's own (its counts and tables).
struct RecordParser {
    Parsed (*parse)(const void* context, const uint8_t* bytes, size_t n, Proof proof, RecoveredRecord& out);
    const void* context;
    int recordsToResume;  // convincing records one after another where the reading takes up again
};

// What the gaps of a run took and what came after them, for the console.
struct GapReport {
    uint64_t intact = 0;
    uint64_t recovered = 0;
    uint64_t partial = 0;
    bool inGap = false;  // a gap was met; its line waits for the count of the rows after it
    uint64_t gapAt = 0;
    uint64_t gapSkipped = 0;
    uint64_t gapRows = 0;
    uint64_t gaps = 0;
    uint64_t missingRecords = 0;  // of the file records the header states, those not read
    uint64_t statedRecords = 0;
};

// A gap: it starts at `at` in the decoded data and takes `skipped` bytes. Its console line is printed
// once the rows after it are counted: at the next gap, or at the end.
void reportGap(RunContext& run, GapReport& report, uint64_t at, uint64_t skipped);
void countRecoveredRow(GapReport& report, EntryStatus status);
// The last gap's rows and the totals.
void finishGapReport(RunContext& run, GapReport& report);

// Where the file records' reading begins: right after sound folder records, or after damage that took the
// last of them (the reading then starts by looking for a run of convincing file records); and the folders
// whose paths have a lost piece, whose files are partial rows.
struct FileRecordsFrom {
    bool afterDamage = false;
    const std::vector<bool>* partialFolders = nullptr;
};

// Reads `count` file records from the window and hands on their entries, going on past damage: where a
// record is wrong (or the data is zeroed, or ends inside a record), the record before it is kept only if it
// is likely, and the reading takes up again at the next position where a run of convincing records
// starts; it then goes on to the end of the data, however many records the gap took. After a gap every
// name has lost the piece it kept from the names the gap took.
void recoverRecords(RecoveryWindow& window, EntrySink& sink, FolderTable& folders, const RecordParser& parser,
                    uint64_t count, GapReport& report, const FileRecordsFrom& from);
// The same from the stream's position, after sound folder records.
void recoverRecords(DatabaseStream& stream, EntrySink& sink, FolderTable& folders, const RecordParser& parser,
                    uint64_t count, GapReport& report);

// Whether the bytes buffered at the stream's position begin a zeroed range (as many zero bytes as no
// record of a valid database has); a range that the buffer's end cuts short is not seen here.
bool zeroedAhead(const DatabaseStream& stream);

// ---- Folder records ----

// A version's reading of the record of folder `folder` (whose filesystem chooses the record's layout).
// `valuesProve`: the records hold values, which records read out of step seldom have as real folders do.
struct FolderRecordParser {
    Parsed (*parse)(const void* context, uint32_t folder, const uint8_t* bytes, size_t n, Proof proof,
                    RecoveredRecord& out);
    const void* context;
    bool valuesProve;
};

// What the folder records gave: the folders, from the first, whose names (and values) are known; the rest
// were taken by damage, which leaves the window where the first record lost began.
struct RecoveredFolders {
    uint32_t known = 0;
    bool damaged = false;
    uint32_t damageFound = 0;  // the first record wrong or not likely
};

// The folder records to read, on `filesystems`: `count` of them (the table holds one folder more when the
// hierarchy is lost, the unknown top every folder hangs from); `hierarchyLost`: no folder's parent is known;
// `namesReadable`: where the records begin and each one's layout are known.
struct FolderSection {
    const FilesystemTable* filesystems = nullptr;
    uint32_t count = 0;
    bool hierarchyLost = false;
    bool namesReadable = true;
};

// Where the hierarchy block was damaged (an invalid reference, or a chain that never reaches a root): no
// reference is trusted, for damage met at one reference may have begun at any before it (a cut of whole
// references leaves every later one valid and wrong). Every folder then hangs from a top named "<?>", on the
// first filesystem, and no folder record is read: where they begin is not known either. False when the
// file records cannot be read without the hierarchy: some filesystems have the flag byte in their records
// and some not.
bool loseHierarchy(const FilesystemTable& filesystems, FolderTable& folders, FolderSection& section);

// The 1.7 family's hierarchy block under recovery: read whole, its links resolved, or lost where damaged.
// False when the reading must stop (the block could not be read, or without it the file records cannot).
bool readHierarchyRecovering(DatabaseStream& stream, const FilesystemTable& filesystems, FolderTable& folders,
                             FolderSection& section);

// Reads the folder records of the table's folders from the window while they are sound, naming each
// folder and filling `values` (when given, one per folder). Where a record is wrong, the reading stops, and
// the damage is taken to begin two records before the first record that is not likely; where no values
// prove the records, at the first (names alone read out of step from a cut may parse to the end). Sound
// records must also be followed by file records that parse (as many as `files` needs to take up a reading, or
// all `fileCount`): else the damage began in the last folder records. A folder whose record was lost is named
// "<?>", and no row is written for it; `partial` tells for every folder whether its path has such a piece,
// its own name or one above it.
RecoveredFolders recoverFolderRecords(RecoveryWindow& window, FolderTable& folders,
                                      const FolderSection& section, const FolderRecordParser& parser,
                                      const RecordParser& files, uint64_t fileCount,
                                      std::vector<RowValues>* values, std::vector<bool>& partial);

// The folder records, then the file records from the stream's position, going on past damage in either
// (the console's lines between them as the strict reading prints them): the folders whose records were
// read are written in order, with their values (`values`, one per folder, or `defaults` for every folder
// when the records hold none, or null for none at all), then the files; then the gaps' totals.
void recoverFoldersAndFiles(DatabaseStream& stream, EntrySink& sink, FolderTable& folders,
                            const FolderSection& section, const FolderRecordParser& folderParser,
                            const RecordParser& fileParser, uint64_t fileCount,
                            std::vector<RowValues>* values, const RowValues* defaults);

}  // namespace catadump
