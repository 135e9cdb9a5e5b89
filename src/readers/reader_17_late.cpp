// Reader for QRTb 1.7.17 and 1.7.20. Both versions share one body layout; the flags word that opens it
// chooses which value fields (size, three dates, attributes) the folder and file records carry, and every
// row gets the five value columns.
#include <cstdint>
#include <vector>

#include "input/field_encodings.h"
#include "io/run_context.h"
#include "model/large_tables.h"
#include "readers/name_decoding.h"
#include "readers/reader_common.h"
#include "readers/readers.h"
#include "readers/recovery.h"

namespace catadump {

namespace {

constexpr uint32_t flagFileSize = 0x01;
constexpr uint32_t flagDateCreated = 0x02;
constexpr uint32_t flagDateModified = 0x04;
constexpr uint32_t flagDateAccessed = 0x08;
constexpr uint32_t flagAttributes = 0x10;
constexpr uint32_t flagFolderSize = 0x20;

constexpr uint32_t folderValueFlags =
    flagFolderSize | flagDateCreated | flagDateModified | flagDateAccessed | flagAttributes;

constexpr uint32_t folderAttributesDefault = 16;

// The value fields a record carries, in their fixed order; absent ones keep what `values` holds.
void readValues(DatabaseStream& stream, uint32_t flags, uint32_t sizeFlag, RowValues& values) {
    if (flags & sizeFlag) values.size = readU64(stream);
    if (flags & flagDateCreated) values.dateCreated = readU64(stream);
    if (flags & flagDateModified) values.dateModified = readU64(stream);
    if (flags & flagDateAccessed) values.dateAccessed = readU64(stream);
    if (flags & flagAttributes) values.attributes = readU32(stream);
}

bool readFolders(DatabaseStream& stream, EntrySink& sink, const FilesystemTable& filesystems,
                 FolderTable& folders, uint32_t flags) {
    uint32_t folderCount = static_cast<uint32_t>(folders.entries.size());
    say(*stream.run, "Loading folders...\n");
    // The folders' values are kept only when the records carry any: otherwise every folder has the same.
    const RowValues defaults{.attributes = folderAttributesDefault};
    bool recordsHoldValues = (flags & folderValueFlags) != 0;
    std::vector<RowValues> values;
    assignLargeTable(values, recordsHoldValues ? folderCount : 0, defaults);
    NameState names;
    uint32_t complete = 0;
    for (; complete < folderCount && !failed(stream); ++complete) {
        uint32_t type = filesystemTypeOf(filesystems, folders.entries[complete].rootFilesystem);
        if (type == filesystemPlain) readU8(stream);  // record flag byte: announces nothing here
        if (!decodeFrontCodedName(stream, names, NameList::folders, CountWidth::compact)) return false;
        storeDecodedFolderName(folders.names, complete, names);
        if (recordsHoldValues) readValues(stream, flags, flagFolderSize, values[complete]);
        if (type == filesystemNtfs) skipStreamBytes(stream, 8);
        if (type == filesystemOther) skipStreamBytes(stream, 16);
        if (failed(stream)) break;  // this record is incomplete
    }
    forEachFolderToWrite(folders, complete, complete == folderCount, [&](uint32_t folder) {
        sendEntry(sink, folders,
                  {EntryKind::folder, folder, {}, recordsHoldValues ? &values[folder] : &defaults});
    });
    return complete == folderCount;
}

void readFiles(DatabaseStream& stream, EntrySink& sink, const FilesystemTable& filesystems,
               FolderTable& folders, uint32_t folderCount, uint32_t fileCount, uint32_t flags) {
    NameState name;
    for (uint32_t k = 0; k < fileCount && !failed(stream); ++k) {
        FileParent parent;
        if (!readFileParent(stream, folders, folderCount, filesystems.count(), parent)) return;
        if (filesystemTypeOf(filesystems, parent.filesystem) == filesystemPlain) readU8(stream);
        if (!decodeFrontCodedName(stream, name, NameList::files, CountWidth::compact)) return;
        RowValues values;
        readValues(stream, flags, flagFileSize, values);
        if (failed(stream)) return;  // no row from a record that was not read in full
        sendEntry(sink, folders, {EntryKind::file, parent.folder, visibleName(name), &values});
    }
}

// ---- Recovery (--recover) of the file records ----

// How much a record must prove. An acceptable record is one no valid database fails: its fields in range,
// no byte a name cannot hold, dates before the year 10000. A convincing one also has values such as real
// files have, which garbage and bytes read out of step rarely do: dates between 1980 and 2100 (or none, but
// not all three none), attributes of known bits (not none), a size below 256 TiB (or all ones).
enum class Proof { acceptable, convincing };
enum class Parsed { whole, cut, wrong };  // cut: the data ends inside the record

// A run of records this long, each convincing, is where the reading takes up again after a gap.
constexpr int recordsToResume = 4;
// Zero bytes where a record starts, this many or more, are a range of the database that was zeroed: no
// record of a valid database has them (its dates alone are eight bytes that are never all zero together
// with everything around them).
constexpr size_t zerosOfDamage = 64;
// The longest suffix and strip a valid name has (a name is at most 255 characters of up to four bytes).
constexpr uint32_t longestSuffix = 1024;
constexpr uint32_t longestStrip = 4096;
constexpr size_t longestRecord = 4 + 1 + 5 + 5 + longestSuffix + 36;

constexpr uint64_t fileTimeOf1980 = 119600064000000000ull;
constexpr uint64_t fileTimeOf2100 = 157469184000000000ull;
constexpr uint64_t fileTimeOf10000 = 2650467744000000000ull;
constexpr uint32_t knownAttributes = 0x5FFFF7;

struct FileLayout {
    uint32_t flags;
    uint32_t folderCount;
    const FilesystemTable& filesystems;
    const FolderTable& folders;
};

struct FileRecord {
    uint32_t folder = noFolder;
    uint32_t strip = 0;
    std::string_view suffix;
    RowValues values;
    size_t length = 0;
};

bool dateAcceptable(uint64_t date, Proof proof) {
    if (date == 0) return true;
    if (proof == Proof::acceptable) return date < fileTimeOf10000;
    return date >= fileTimeOf1980 && date < fileTimeOf2100;
}

bool valuesAcceptable(const RowValues& values, uint32_t flags, Proof proof) {
    if ((flags & flagDateCreated) && !dateAcceptable(values.dateCreated, proof)) return false;
    if ((flags & flagDateModified) && !dateAcceptable(values.dateModified, proof)) return false;
    if ((flags & flagDateAccessed) && !dateAcceptable(values.dateAccessed, proof)) return false;
    if (proof == Proof::acceptable) return true;
    // A real file has a date, and some attribute, where the database keeps them; zeroed bytes have none.
    uint32_t dates = flags & (flagDateCreated | flagDateModified | flagDateAccessed);
    if (dates != 0 && values.dateCreated == 0 && values.dateModified == 0 && values.dateAccessed == 0)
        return false;
    if ((flags & flagAttributes) && (values.attributes == 0 || (values.attributes & ~knownAttributes) != 0)) {
        return false;
    }
    return !(flags & flagFileSize) || values.size < (uint64_t{1} << 48) || values.size == ~uint64_t{0};
}

// The file record at `bytes` (`n` of them at hand), read as the strict reader reads it, and checked.
Parsed parseFileRecord(const uint8_t* bytes, size_t n, const FileLayout& layout, Proof proof,
                       FileRecord& out) {
    size_t at = 0;
    auto have = [&](size_t k) { return n - at >= k; };
    auto count = [&](uint32_t& value) {
        if (!have(1)) return false;
        if (bytes[at] != 255) {
            value = bytes[at++];
            return true;
        }
        if (!have(5)) return false;
        value = loadU32(bytes + at + 1);
        at += 5;
        return true;
    };
    if (!have(4)) return Parsed::cut;
    uint32_t reference = loadU32(bytes);
    at = 4;
    if (uint64_t{reference} >= uint64_t{layout.folderCount} + layout.filesystems.count())
        return Parsed::wrong;
    uint32_t filesystem = reference < layout.folderCount ? layout.folders.entries[reference].rootFilesystem
                                                         : reference - layout.folderCount;
    if (filesystemTypeOf(layout.filesystems, filesystem) == filesystemPlain) {
        if (!have(1)) return Parsed::cut;
        ++at;
    }
    uint32_t suffixLength = 0;
    uint32_t strip = 0;
    if (!count(suffixLength)) return Parsed::cut;
    if (suffixLength > longestSuffix) return Parsed::wrong;
    if (suffixLength != 0) {
        if (!count(strip)) return Parsed::cut;
        if (strip > longestStrip) return Parsed::wrong;
    }
    if (!have(suffixLength)) return Parsed::cut;
    const uint8_t* suffix = bytes + at;
    for (uint32_t k = 0; k < suffixLength; ++k) {
        if (nameByteImpossible(suffix[k])) return Parsed::wrong;
    }
    at += suffixLength;
    RowValues values;
    auto u64 = [&](uint32_t flag, uint64_t& value) {
        if (!(layout.flags & flag)) return true;
        if (!have(8)) return false;
        value = loadU64(bytes + at);
        at += 8;
        return true;
    };
    if (!u64(flagFileSize, values.size) || !u64(flagDateCreated, values.dateCreated) ||
        !u64(flagDateModified, values.dateModified) || !u64(flagDateAccessed, values.dateAccessed)) {
        return Parsed::cut;
    }
    if (layout.flags & flagAttributes) {
        if (!have(4)) return Parsed::cut;
        values.attributes = loadU32(bytes + at);
        at += 4;
    }
    if (!valuesAcceptable(values, layout.flags, proof)) return Parsed::wrong;
    out.folder = reference < layout.folderCount ? reference : noFolder;
    out.strip = strip;
    out.suffix = {reinterpret_cast<const char*>(suffix), suffixLength};
    out.values = values;
    out.length = at;
    return Parsed::whole;
}

// Whether `count` convincing records follow one another from the window's position (or fewer that end
// exactly where the data does).
bool runStartsHere(RecoveryWindow& window, const FileLayout& layout, int count) {
    size_t available = windowAvailable(window, static_cast<size_t>(count) * longestRecord);
    const uint8_t* bytes = windowData(window);
    size_t at = 0;
    for (int k = 0; k < count; ++k) {
        if (at == available) return window.ended && k > 0;
        size_t zeros = 0;
        while (at + zeros < available && bytes[at + zeros] == 0 && zeros < zerosOfDamage) ++zeros;
        if (zeros == zerosOfDamage) return false;
        FileRecord record;
        if (parseFileRecord(bytes + at, available - at, layout, Proof::convincing, record) != Parsed::whole) {
            return false;
        }
        at += record.length;
    }
    return true;
}

// A record read but not yet sent: it goes once the record after it is read, so that a record the damage
// began in can still be held back.
struct HeldFile {
    bool held = false;
    size_t length = 0;
    uint32_t folder = noFolder;
    std::string name;
    RowValues values;
    EntryStatus status = EntryStatus::intact;
};

void sendHeld(EntrySink& sink, FolderTable& folders, HeldFile& held, GapReport& report) {
    if (!held.held) return;
    sendEntry(sink, folders, {EntryKind::file, held.folder, held.name, &held.values, held.status});
    countRecoveredRow(report, held.status);
    held.held = false;
}

// The file records as readFiles reads them, going on past damage. Where a record is wrong (or the data
// is zeroed), the record before it is kept only if it is convincing, and the reading takes up again at
// the next position where a run of convincing records starts. After a gap every name has lost the piece
// it kept from the names the gap took.
void recoverFiles(DatabaseStream& stream, EntrySink& sink, const FilesystemTable& filesystems,
                  FolderTable& folders, uint32_t folderCount, uint32_t fileCount, uint32_t flags,
                  GapReport& report) {
    const FileLayout layout{flags, folderCount, filesystems, folders};
    RecoveryWindow window;
    openRecoveryWindow(window, stream, streamPosition(stream));
    RecoveredName name;
    HeldFile held;
    bool afterGap = false;
    uint64_t read = 0;
    while (afterGap || read < fileCount) {
        size_t available = windowAvailable(window, longestRecord);
        if (available == 0 && afterGap) break;  // the records after the gap reach the end of the data
        FileRecord record;
        Parsed parsed = Parsed::wrong;
        if (zeroRun(window, zerosOfDamage) < zerosOfDamage) {
            parsed = parseFileRecord(windowData(window), available, layout,
                                     afterGap ? Proof::convincing : Proof::acceptable, record);
        }
        if (parsed == Parsed::whole && name.whole && record.strip > name.tail.size()) parsed = Parsed::wrong;
        if (parsed == Parsed::whole) {
            sendHeld(sink, folders, held, report);
            stepRecoveredName(name, record.strip, record.suffix);
            held = {
                true,
                record.length,
                record.folder,
                std::move(held.name),
                record.values,
                !afterGap ? EntryStatus::intact : name.whole ? EntryStatus::recovered : EntryStatus::partial};
            showRecoveredName(name, held.name);
            windowAdvance(window, record.length);
            ++read;
            continue;
        }
        // Damage: the data is wrong here, or ends inside a record (a database cut short). The record before
        // stays only if it is convincing: else the damage began in it, as likely as not.
        // The run reports it as the strict reader does: a read that came up short, or a corrupt structure.
        if (parsed == Parsed::cut) {
            stream.run->flags.readError = true;
        } else {
            stream.run->flags.corrupt = true;
        }
        if (held.held && !afterGap) {
            windowBack(window, held.length);
            FileRecord check;
            if (parseFileRecord(windowData(window), held.length, layout, Proof::convincing, check) ==
                Parsed::whole) {
                windowAdvance(window, held.length);
            } else {
                held.held = false;
            }
        }
        sendHeld(sink, folders, held, report);
        uint64_t gapStart = windowOffset(window);
        // The next run starts after the damage, and never inside a zeroed range: there, zero fields read
        // as folder 0, the name before and no values, which a record made partly of the bytes after the
        // range can pass for.
        size_t zerosBefore = 0;
        if (windowAvailable(window, 1) > 0) {
            zerosBefore = *windowData(window) == 0 ? 1 : 0;
            windowAdvance(window, 1);
        }
        while (windowAvailable(window, 1) > 0) {
            if (*windowData(window) == 0) {
                size_t zeros = zeroRun(window, zerosOfDamage);
                if (zerosBefore + zeros >= zerosOfDamage) {
                    windowAdvance(window, zeros);
                    zerosBefore += zeros;
                    continue;
                }
            }
            if (runStartsHere(window, layout, recordsToResume)) {
                // The run's first record may be the one the damage ended in: a few bytes of its start
                // changed still leave a record that parses (a parent reference's low byte, say). It goes
                // with the gap, and the names after it owe nothing to it.
                FileRecord first;
                parseFileRecord(windowData(window), windowAvailable(window, longestRecord), layout,
                                Proof::convincing, first);
                windowAdvance(window, first.length);
                break;
            }
            zerosBefore = *windowData(window) == 0 ? zerosBefore + 1 : 0;
            windowAdvance(window, 1);
        }
        reportGap(*stream.run, report, gapStart, windowOffset(window) - gapStart);
        afterGap = true;
        name.whole = false;
        name.tail.clear();
    }
    sendHeld(sink, folders, held, report);
}

void convert(DatabaseStream& stream, EntrySink& sink) {
    uint32_t flags = readFlagsWord(stream);
    uint32_t folderCount = readU32(stream);
    uint32_t fileCount = readU32(stream);
    say(*stream.run, "number of folders: %d\n", static_cast<int>(folderCount));
    say(*stream.run, "number of files: %d\n", static_cast<int>(fileCount));
    stateEntries(sink, folderCount, fileCount);

    FilesystemTable filesystems;
    if (!readFilesystemTableLate(stream, filesystems)) return;
    say(*stream.run, "Exclude flags %02x\n", readU8(stream));
    for (int list = 0; list < 3; ++list) skipBlobList(stream);
    if (failed(stream)) return;

    FolderTable folders;
    TableInUse tableInUse{sink};
    if (folderCount > 0) {
        if (!readParentLinks(stream, folderCount, filesystems.count(), folders)) return;
        if (!resolveRootFilesystems(*stream.run, folders)) return;
        if (!readFolders(stream, sink, filesystems, folders, flags)) return;
    }
    say(*stream.run, "Loading files...\n");
    if (!stream.run->recover) {
        readFiles(stream, sink, filesystems, folders, folderCount, fileCount, flags);
        return;
    }
    GapReport report;
    report.intact = sink.entriesSent;  // the folders, all read before any damage
    recoverFiles(stream, sink, filesystems, folders, folderCount, fileCount, flags, report);
    finishGapReport(*stream.run, report);
}

}  // namespace

void readBody1717(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }
void readBody1720(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }

}  // namespace catadump
