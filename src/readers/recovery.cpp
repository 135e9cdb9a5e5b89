#include "readers/recovery.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "model/folder_graph.h"
#include "readers/reader_common.h"

namespace catadump {

namespace {

// Bytes taken from the stream at a time, and how many stay behind the reader's position when those further
// behind are dropped from the front of the window (once it is windowDropAfter past them).
constexpr size_t windowChunk = size_t{256} << 10;
constexpr size_t windowBehind = size_t{64} << 10;
static_assert(windowDropAfter > windowBehind);

// The stream's next bytes onto the window's end; false at the end of the data. The end of the data is not
// a failed read here: a reader that needs bytes the data does not have says so itself.
bool growWindow(RecoveryWindow& window) {
    WindowBytes& bytes = window.bytes;
    if (bytes.capacity - bytes.count < windowChunk) {
        size_t capacity = std::max(2 * bytes.capacity, bytes.count + windowChunk);
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        if (bytes.count > 0) std::memcpy(grown.get(), bytes.bytes.get(), bytes.count);
        bytes.bytes = std::move(grown);
        bytes.capacity = capacity;
    }
    size_t got = takeDataBytes(*window.stream, bytes.bytes.get() + bytes.count, windowChunk);
    bytes.count += got;
    return got > 0;
}

}  // namespace

void openRecoveryWindow(RecoveryWindow& window, DatabaseStream& stream, uint64_t decodedOffset) {
    window.stream = &stream;
    window.bytes.count = 0;
    window.at = 0;
    window.dropped = 0;
    window.startsAt = decodedOffset;
    window.ended = false;
}

size_t windowAvailableSlow(RecoveryWindow& window, size_t n) {
    if (window.at > windowDropAfter) {
        // The bytes well behind the position go; those just behind it stay, for windowBack.
        size_t drop = window.at - windowBehind;
        std::memmove(window.bytes.bytes.get(), window.bytes.bytes.get() + drop, window.bytes.count - drop);
        window.bytes.count -= drop;
        window.dropped += drop;
        window.at -= drop;
    }
    while (window.bytes.size() - window.at < n && !window.ended) {
        if (!growWindow(window)) window.ended = true;
    }
    return std::min(n, window.bytes.size() - window.at);
}

size_t zeroRun(RecoveryWindow& window, size_t limit) {
    size_t available = windowAvailable(window, limit);
    const uint8_t* bytes = windowData(window);
    size_t n = 0;
    while (n < available && bytes[n] == 0) ++n;
    return n;
}

void showRecoveredName(const RecoveredName& name, std::string& shown) {
    shown.clear();
    if (!name.whole) shown = lostPiece;
    shown.append(name.tail.data(), firstZero(name.tail));
}

namespace {

void sayGap(RunContext& run, const GapReport& report) {
    say(run, "Damage at byte %llu of the data: %llu bytes skipped, %llu rows read after it\n",
        static_cast<unsigned long long>(report.gapAt), static_cast<unsigned long long>(report.gapSkipped),
        static_cast<unsigned long long>(report.gapRows));
}

}  // namespace

void reportGap(RunContext& run, GapReport& report, uint64_t at, uint64_t skipped) {
    if (report.inGap) sayGap(run, report);
    report.inGap = true;
    report.gapAt = at;
    report.gapSkipped = skipped;
    report.gapRows = 0;
    ++report.gaps;
}

void countRecoveredRow(GapReport& report, EntryStatus status) {
    switch (status) {
    case EntryStatus::intact:
        ++report.intact;
        break;
    case EntryStatus::recovered:
        ++report.recovered;
        break;
    case EntryStatus::partial:
        ++report.partial;
        break;
    }
    if (report.inGap) ++report.gapRows;
}

void finishGapReport(RunContext& run, GapReport& report) {
    if (report.inGap) sayGap(run, report);
    report.inGap = false;
    if (report.missingRecords > 0) {
        say(run, "file records missing: %llu of %llu\n",
            static_cast<unsigned long long>(report.missingRecords),
            static_cast<unsigned long long>(report.statedRecords));
    }
    run.recovery = {report.intact, report.recovered, report.partial, report.gaps};
    say(run, "rows intact: %llu, recovered: %llu, partial: %llu\n",
        static_cast<unsigned long long>(report.intact), static_cast<unsigned long long>(report.recovered),
        static_cast<unsigned long long>(report.partial));
}

namespace {

// Zero bytes where a record starts, this many or more, are a range of the database that was zeroed: no
// record of a valid database has them (a record's dates, its name or the parent reference of the next
// break any such run long before).
constexpr size_t zerosOfDamage = 64;

// Whether `count` convincing records follow one another from the window's position (or fewer that end
// exactly where the data does).
bool runStartsHere(RecoveryWindow& window, const RecordParser& parser, int count) {
    size_t available = windowAvailable(window, static_cast<size_t>(count) * longestRecord);
    const uint8_t* bytes = windowData(window);
    size_t at = 0;
    for (int k = 0; k < count; ++k) {
        if (at == available) return window.ended && k > 0;
        size_t zeros = 0;
        while (at + zeros < available && bytes[at + zeros] == 0 && zeros < zerosOfDamage) ++zeros;
        if (zeros == zerosOfDamage) return false;
        RecoveredRecord record;
        if (parser.parse(parser.context, bytes + at, available - at, Proof::convincing, record) !=
                Parsed::whole ||
            gapWithin(*window.stream, windowOffset(window) + at, windowOffset(window) + at + record.length)) {
            return false;
        }
        at += record.length;
    }
    return true;
}

// A record read but not yet sent: it goes once the record after it is read, so that a record the damage
// began in can still be held back. Its name is the name state's own, which the next record's name steps
// from only once that record is taken. Two records take turns as the one read and the one held, so that
// nothing is copied.
struct HeldFile {
    RecoveredRecord records[2];
    int read = 0;  // the record being read; the other is held when `held`
    bool held = false;
    EntryStatus status = EntryStatus::intact;
};

void sendHeld(EntrySink& sink, FolderTable& folders, HeldFile& held, const RecoveredName& name,
              std::string& shown, GapReport& report) {
    if (!held.held) return;
    const RecoveredRecord& record = held.records[1 - held.read];
    // A whole name is its bytes, none of them zero (a record with a zero byte in its name is not taken).
    std::string_view visible = name.tail;
    if (!name.whole) {
        showRecoveredName(name, shown);
        visible = shown;
    }
    sendEntry(
        sink, folders,
        {EntryKind::file, record.folder, visible, record.hasValues ? &record.values : nullptr, held.status});
    countRecoveredRow(report, held.status);
    held.held = false;
}

// Whether a zeroed range starts at `bytes`.
bool zeroedHere(const uint8_t* bytes, size_t available) {
    if (available < zerosOfDamage || bytes[0] != 0) return false;
    for (size_t k = 1; k < zerosOfDamage; ++k) {
        if (bytes[k] != 0) return false;
    }
    return true;
}

// Skips from the window's position past damage: to the next position where a run of convincing records
// starts, and past that run's first record. The run never starts inside a zeroed range: there, zero fields
// read as folder 0, the name before and no values, which a record made partly of the bytes after the range
// can pass for.
void skipToNextRun(RecoveryWindow& window, const RecordParser& parser) {
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
        if (runStartsHere(window, parser, parser.recordsToResume)) {
            // The run's first record may be the one the damage ended in: a few bytes of its start changed
            // still leave a record that parses (a parent reference's low byte, say). It goes with the gap,
            // and the names after it owe nothing to it.
            RecoveredRecord first;
            parser.parse(parser.context, windowData(window), windowAvailable(window, longestRecord),
                         Proof::convincing, first);
            windowAdvance(window, first.length);
            return;
        }
        zerosBefore = *windowData(window) == 0 ? zerosBefore + 1 : 0;
        windowAdvance(window, 1);
    }
}

}  // namespace

bool zeroedAhead(const DatabaseStream& stream) { return zeroedHere(stream.cursor, bufferedBytes(stream)); }

void recoverRecords(DatabaseStream& stream, EntrySink& sink, FolderTable& folders, const RecordParser& parser,
                    uint64_t count, GapReport& report) {
    RecoveryWindow window;
    openRecoveryWindow(window, stream, streamPosition(stream));
    recoverRecords(window, sink, folders, parser, count, report, {});
}

void recoverRecords(RecoveryWindow& window, EntrySink& sink, FolderTable& folders, const RecordParser& parser,
                    uint64_t count, GapReport& report, const FileRecordsFrom& from) {
    DatabaseStream& stream = *window.stream;
    RecoveredName name;
    std::string shown;
    HeldFile held;
    bool afterGap = false;
    uint64_t read = 0;
    auto crossGap = [&](uint64_t gapStart) {
        skipToNextRun(window, parser);
        reportGap(*stream.run, report, gapStart, windowOffset(window) - gapStart);
        afterGap = true;
        name.whole = false;
        name.tail.clear();
    };
    if (from.afterDamage) crossGap(windowOffset(window));
    auto folderPartial = [&](uint32_t folder) {
        return folder != noFolder && from.partialFolders != nullptr && (*from.partialFolders)[folder];
    };
    while (afterGap || read < count) {
        size_t available = windowAvailable(window, longestRecord);
        if (available == 0 && afterGap) break;  // the records after the gap reach the end of the data
        RecoveredRecord& record = held.records[held.read];
        Parsed parsed = Parsed::wrong;
        if (!zeroedHere(windowData(window), available)) {
            parsed = parser.parse(parser.context, windowData(window), available,
                                  afterGap ? Proof::likely : Proof::acceptable, record);
        }
        if (parsed == Parsed::whole && name.whole && record.strip > name.tail.size()) parsed = Parsed::wrong;
        // A record read across a lost bzip2 block is made of bytes that never followed one another: the
        // decoder has reported that damage already.
        bool acrossLostBlock = parsed == Parsed::whole &&
                               gapWithin(stream, windowOffset(window), windowOffset(window) + record.length);
        if (acrossLostBlock) parsed = Parsed::wrong;
        if (parsed == Parsed::whole) {
            sendHeld(sink, folders, held, name, shown, report);
            stepRecoveredName(name, record.strip, record.suffix);
            held.held = true;
            held.read = 1 - held.read;
            held.status = !afterGap && !folderPartial(record.folder)    ? EntryStatus::intact
                          : name.whole && !folderPartial(record.folder) ? EntryStatus::recovered
                                                                        : EntryStatus::partial;
            windowAdvance(window, record.length);
            ++read;
            continue;
        }
        // Damage: the data is wrong here, or ends inside a record (a database cut short). The run reports
        // it as the strict reader does: a read that came up short, or a corrupt structure.
        if (parsed == Parsed::cut) {
            stream.run->flags.readError = true;
        } else if (!acrossLostBlock) {
            stream.run->flags.corrupt = true;
        }
        // The record before stays only if it is likely: else the damage began in it, as likely as not.
        if (held.held && !afterGap) {
            const RecoveredRecord& before = held.records[1 - held.read];
            windowBack(window, before.length);
            RecoveredRecord check;
            if (parser.parse(parser.context, windowData(window), before.length, Proof::likely, check) !=
                Parsed::whole) {
                held.held = false;
            }
            windowAdvance(window, before.length);
        }
        sendHeld(sink, folders, held, name, shown, report);
        crossGap(windowOffset(window));
    }
    sendHeld(sink, folders, held, name, shown, report);
    // Fewer records than the header states: the gaps took them, or a cut of whole records did, which
    // leaves the records after it reading in step and is seen nowhere else (the names read across it may
    // keep a wrong piece, and their rows are taken as intact).
    if (read < count) {
        report.missingRecords = count - read;
        report.statedRecords = count;
    }
}

namespace {

// Whether `count` file records (or `fileCount`, if fewer) parse from the window's position, none where a
// zeroed range begins and none across a lost block: sound folder records are followed by them.
bool fileRecordsFollow(RecoveryWindow& window, const RecordParser& files, uint64_t fileCount) {
    auto count =
        static_cast<size_t>(std::min<uint64_t>(fileCount, static_cast<uint64_t>(files.recordsToResume)));
    size_t available = windowAvailable(window, count * longestRecord);
    const uint8_t* bytes = windowData(window);
    size_t at = 0;
    for (size_t k = 0; k < count; ++k) {
        RecoveredRecord record;
        if (zeroedHere(bytes + at, available - at) ||
            files.parse(files.context, bytes + at, available - at, Proof::acceptable, record) !=
                Parsed::whole ||
            gapWithin(*window.stream, windowOffset(window) + at, windowOffset(window) + at + record.length)) {
            return false;
        }
        at += record.length;
    }
    return true;
}

// Marks the folders whose chain holds a folder at or past `known` (whose record was lost).
std::vector<bool> foldersWithLostPiece(const FolderTable& folders, uint32_t known) {
    std::vector<bool> partial(folders.entries.size(), false);
    std::vector<uint8_t> decided(folders.entries.size(), 0);
    std::vector<uint32_t> chain;
    for (uint32_t i = 0; i < folders.entries.size(); ++i) {
        // Up to a folder decided already or a root, then down again: the chains are free of loops.
        chain.clear();
        uint32_t at = i;
        while (at != noFolder && at < folders.entries.size() && !decided[at]) {
            chain.push_back(at);
            at = folders.entries[at].parent;
        }
        bool lost = at != noFolder && at < folders.entries.size() && partial[at];
        for (auto k = chain.size(); k-- > 0;) {
            lost = lost || chain[k] >= known;
            partial[chain[k]] = lost;
            decided[chain[k]] = 1;
        }
    }
    return partial;
}

}  // namespace

bool loseHierarchy(const FilesystemTable& filesystems, FolderTable& folders, FolderSection& section) {
    bool plainOrNot = true;
    for (uint32_t k = 1; k < filesystems.count(); ++k) {
        plainOrNot = plainOrNot && (filesystems.entries[k].type == filesystemPlain) ==
                                       (filesystems.entries[0].type == filesystemPlain);
    }
    if (!plainOrNot) return false;
    auto count = static_cast<uint32_t>(folders.entries.size());
    for (FolderEntry& entry : folders.entries) {
        entry.parent = count;
        entry.rootFilesystem = 0;
    }
    appendFolder(folders);
    setFolderNameBytes(folders.names, count, lostPiece);
    section.count = count;
    section.hierarchyLost = true;
    // Nor where the folder records begin: a cut or an insertion in the block moved them, and records read
    // out of step may parse and name the wrong folders. The file records are looked for instead.
    section.namesReadable = false;
    return true;
}

bool readHierarchyRecovering(DatabaseStream& stream, const FilesystemTable& filesystems, FolderTable& folders,
                             FolderSection& section) {
    bool invalid = false;
    if (!readParentLinks(stream, section.count, filesystems.count(), folders, &invalid)) return false;
    if (!invalid && resolveRootFilesystems(*stream.run, folders)) return true;
    return loseHierarchy(filesystems, folders, section);
}

RecoveredFolders recoverFolderRecords(RecoveryWindow& window, FolderTable& folders,
                                      const FolderSection& section, const FolderRecordParser& parser,
                                      const RecordParser& files, uint64_t fileCount,
                                      std::vector<RowValues>* values, std::vector<bool>& partial) {
    uint32_t count = section.count;
    RunContext& run = *window.stream->run;
    RecoveredFolders got;
    NameState names;
    // Where the last three records began (by index modulo 3), and the same when the first record that is
    // not likely was read: damage is looked for back from there once it is known to be there at all.
    uint64_t recent[3] = {0, 0, 0}, atUnlikely[3] = {0, 0, 0};
    uint32_t firstUnlikely = count;
    // A name code that strips more than the name before holds: the front coding's chain lost step.
    bool chainBroken = false;
    uint32_t k = 0;
    for (; k <= count; ++k) {
        recent[k % 3] = windowOffset(window);
        if (k == count || !section.namesReadable) break;
        size_t available = windowAvailable(window, longestRecord);
        RecoveredRecord record;
        Parsed parsed = Parsed::wrong;
        if (!zeroedHere(windowData(window), available)) {
            parsed = parser.parse(parser.context, k, windowData(window), available, Proof::likely, record);
            if (parsed == Parsed::wrong) {
                parsed =
                    parser.parse(parser.context, k, windowData(window), available, Proof::acceptable, record);
                if (parsed == Parsed::whole && firstUnlikely == count) {
                    firstUnlikely = k;
                    std::copy(std::begin(recent), std::end(recent), atUnlikely);
                }
            }
        }
        if (parsed == Parsed::whole && record.strip > names.name.size()) {
            parsed = Parsed::wrong;
            chainBroken = true;
        }
        bool acrossLostBlock = parsed == Parsed::whole && gapWithin(*window.stream, windowOffset(window),
                                                                    windowOffset(window) + record.length);
        if (parsed != Parsed::whole || acrossLostBlock) {
            if (parsed == Parsed::cut) {
                run.flags.readError = true;
            } else if (!acrossLostBlock) {
                run.flags.corrupt = true;
            }
            break;
        }
        // The name as the strict reading decodes it (no record taken here has a zero byte in its name).
        names.kept = names.name.size() - record.strip;
        names.name.resize(names.kept);
        names.name.append(record.suffix);
        names.visible = names.name.size();
        storeDecodedFolderName(folders.names, k, names);
        if (values != nullptr) (*values)[k] = record.values;
        windowAdvance(window, record.length);
    }
    // Damage that leaves the records after it reading in step (a cut of whole records, or one that joins
    // the start of a record to the end of another) is seen only where the chain of names breaks or where
    // the reading runs into the file records: far past where it began, which nothing then tells.
    bool placed = !chainBroken;
    if (k == count && count > 0 && !section.namesReadable) {
        k = 0;  // no record is read: the file records are looked for from the first on
    } else if (k == count && !fileRecordsFollow(window, files, fileCount)) {
        run.flags.corrupt = true;  // the file records do not begin where the folder records end
        k = count + 1;             // taken as damage met right after the last record
        placed = false;
    }
    got.damaged = k != count;
    got.known = std::min(k, count);
    uint64_t lostFrom = windowOffset(window);  // where the first record not known begins
    if (got.damaged) {
        // The damage began at the first record that is not likely, if one came before it was found, or
        // before: a record the damage began in may still be likely (a cut that joins the start of one
        // record to the end of another), and the records after it then parse in step. The two records
        // before go with the damage, which the damage tables measured to be enough where the damage is
        // placed: where a record is wrong in itself, and the file records do not begin there.
        const uint64_t* starts = recent;
        if (firstUnlikely < got.known) {
            got.known = firstUnlikely;
            starts = atUnlikely;
        }
        got.damageFound = got.known;
        // Records read in step run into the file records, which parse there as a convincing run; damage
        // met in a folder record does not leave one where the record began.
        uint64_t here = windowOffset(window);
        for (uint32_t j = 0; j < 3 && j <= got.known && placed; ++j) {
            placed = windowSeek(window, starts[(got.known - j) % 3]) &&
                     !runStartsHere(window, files, files.recordsToResume);
        }
        windowSeek(window, here);
        uint32_t back = parser.valuesProve && placed ? std::min(2u, got.known) : got.known;
        got.known -= back;
        if (got.known < count) lostFrom = starts[got.known % 3];
    }
    // The search for file records starts where the first record lost began.
    windowSeek(window, lostFrom);

    for (uint32_t i = got.known; i < count; ++i) setFolderNameBytes(folders.names, i, lostPiece);

    bool anyLost = got.damaged || section.hierarchyLost;
    partial = anyLost ? foldersWithLostPiece(folders, got.known) : std::vector<bool>();
    return got;
}

void recoverFoldersAndFiles(DatabaseStream& stream, EntrySink& sink, FolderTable& folders,
                            const FolderSection& section, const FolderRecordParser& folderParser,
                            const RecordParser& fileParser, uint64_t fileCount,
                            std::vector<RowValues>* values, const RowValues* defaults) {
    RecoveryWindow window;
    openRecoveryWindow(window, stream, streamPosition(stream));
    GapReport report;
    std::vector<bool> partial;
    RecoveredFolders got =
        recoverFolderRecords(window, folders, section, folderParser, fileParser, fileCount, values, partial);
    // Damage among the first folder records may be the hierarchy block's: a cut or an insertion of whole
    // references there leaves every reference valid and wrong, and moves where the folder records begin,
    // which then read out of step from the first. The hierarchy is not trusted then.
    constexpr uint32_t firstRecordsOfSection = 8;
    if (got.damaged && !section.hierarchyLost && got.damageFound < firstRecordsOfSection) {
        FolderSection lost = section;
        if (!loseHierarchy(*section.filesystems, folders, lost)) {
            finishGapReport(*stream.run, report);
            return;
        }
        for (uint32_t i = 0; i < section.count; ++i) setFolderNameBytes(folders.names, i, lostPiece);
        got.known = 0;
        partial = foldersWithLostPiece(folders, 0);
    }
    for (uint32_t i = 0; i < got.known; ++i) {
        EntryStatus status = !partial.empty() && partial[i] ? EntryStatus::partial : EntryStatus::intact;
        sendEntry(sink, folders,
                  {EntryKind::folder, i, {}, values != nullptr ? &(*values)[i] : defaults, status});
        countRecoveredRow(report, status);
    }
    // The folder rows are sent: their values are not read again, and the file records need the memory.
    if (values != nullptr) std::vector<RowValues>().swap(*values);
    say(*stream.run, "Loading files...\n");
    recoverRecords(window, sink, folders, fileParser, fileCount, report,
                   {got.damaged, partial.empty() ? nullptr : &partial});
    finishGapReport(*stream.run, report);
}

}  // namespace catadump
