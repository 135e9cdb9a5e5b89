#include "readers/family16.h"
#include "readers/name_decoding.h"
#include "readers/reader_common.h"
#include "readers/recovery.h"

#include <algorithm>

#include "input/field_encodings.h"
#include "io/run_context.h"

namespace catadump {

namespace {

uint32_t readListCount(DatabaseStream& stream, ListEncoding encoding) {
    return encoding == ListEncoding::fixed ? readU32(stream) : readCompactCount(stream);
}

// Which folder a file record's parent offset names: through the map, or, once the folder records were
// lost, the one folder that stands for all of them (any offset below the folder decode size).
struct FileParents16 {
    const OffsetMap* map = nullptr;
    uint32_t everyFolder = unresolvedFolder;
};

// The file record at `bytes` (`n` of them at hand), read as readFiles16 reads it, and checked: its parent
// offset must be the decode offset of a folder, which few of the numbers four bytes can hold are. With no
// values to look at, a likely record is any acceptable one, and a convincing one has a name of its own.
Parsed parseFileRecord16(const void* context, const uint8_t* bytes, size_t n, Proof proof,
                         RecoveredRecord& out) {
    const auto& parents = *static_cast<const FileParents16*>(context);
    RecordBytes record{bytes, n};
    uint32_t offset = 0;
    if (!takeU32(record, offset)) return Parsed::cut;
    uint32_t folder = unresolvedFolder;
    if (offset < parents.map->declaredSize) {
        folder = parents.everyFolder != unresolvedFolder ? parents.everyFolder
                                                         : folderAtOffset(*parents.map, offset);
    }
    if (folder == unresolvedFolder) return Parsed::wrong;
    if (Parsed name = takeName(record, CountWidth::byte, proof, out); name != Parsed::whole) return name;
    if (proof == Proof::convincing && out.suffix.empty()) return Parsed::wrong;
    out.folder = folder;
    out.hasValues = false;
    out.length = record.at;
    return Parsed::whole;
}

// Damage in the folder records of a recovering run. The folder records hold the hierarchy, and where the
// damage began is not known: a cut of whole records leaves the records after it reading in step, with
// names (and so decode offsets) that are wrong, until the reading runs into the file records. So no folder
// is trusted: no folder row is written, every file hangs from one folder "<?>", and the file records are
// looked for from where the reading stopped, checked as far as that allows (a parent offset below the
// folder decode size, names of their own).
void recoverFilesWithoutFolders(DatabaseStream& stream, EntrySink& sink, FolderTable& folders,
                                const OffsetMap& map, uint32_t fileCount) {
    auto lost = static_cast<uint32_t>(folders.entries.size());
    appendFolder(folders);
    setFolderNameBytes(folders.names, lost, lostPiece);
    std::vector<bool> partial(folders.entries.size(), false);
    partial[lost] = true;
    say(*stream.run, "Loading files...\n");
    FileParents16 parents{&map, lost};
    RecoveryWindow window;
    openRecoveryWindow(window, stream, streamPosition(stream));
    GapReport report;
    recoverRecords(window, sink, folders, {parseFileRecord16, &parents, 8}, fileCount, report,
                   {true, &partial});
    finishGapReport(*stream.run, report);
}

}  // namespace

bool checkFolderParentOffset(RunContext& run, const OffsetMap& map, uint32_t parentOffset) {
    if (parentOffset == noFolder || parentOffset < map.declaredSize) return true;
    // The "<" is deliberate: the line has always read so, whatever the comparison that failed.
    return reportCorrupt(run, "bad folder parent offset %u < %u\n", parentOffset,
                         static_cast<uint32_t>(map.declaredSize));
}

bool storeFolderOffset(RunContext& run, OffsetMap& map) {
    uint64_t end = map.next + 4;
    if (end > map.declaredSize) {
        return reportCorrupt(run, "folder data overflow %llu %u\n", static_cast<unsigned long long>(end),
                             static_cast<uint32_t>(map.declaredSize));
    }
    map.offsetOf.push_back(static_cast<uint32_t>(map.next));
    return true;
}

uint32_t folderAtOffset(const OffsetMap& map, uint32_t offset) {
    // Offsets inside a slot, or between slots, are no folder's.
    auto found = std::lower_bound(map.offsetOf.begin(), map.offsetOf.end(), offset);
    if (found == map.offsetOf.end() || *found != offset) return unresolvedFolder;
    return static_cast<uint32_t>(found - map.offsetOf.begin());
}

bool readFolderName(DatabaseStream& stream, NameState& names, FolderTable& folders, uint32_t folder,
                    OffsetMap& map, uint64_t slotBase) {
    // Zeroed bytes read as folder records that name the first folder and repeat the name before: a
    // recovering run does not take them for folders, and stops there as at other damage of the folders.
    if (stream.run->recover && zeroedAhead(stream)) {
        return reportCorrupt(*stream.run, "folder %u: zeroed bytes where its name begins\n", folder);
    }
    if (!decodeFrontCodedName(stream, names, NameList::folders, CountWidth::byte)) return false;
    storeDecodedFolderName(folders.names, folder, names);
    advanceDecodeOffset(map, slotBase + names.name.size());
    return true;
}

bool readExcludeList(DatabaseStream& stream, ListEncoding encoding) {
    uint32_t count = readListCount(stream, encoding);
    say(*stream.run, "exclude count %u\n", count);
    for (uint32_t i = 0; i < count && !failed(stream); ++i) {
        if (encoding == ListEncoding::fixed) {
            readU8(stream);
        } else {
            readCompactCount(stream);
        }
        uint32_t length = readListCount(stream, encoding);
        if (failed(stream)) break;
        say(*stream.run, "exclude ");
        for (uint32_t j = 0; j < length; ++j) {
            uint8_t byte = readU8(stream);
            if (failed(stream)) break;
            say(*stream.run, "%c", byte);
        }
        say(*stream.run, "\n");
    }
    return !failed(stream);
}

bool finishFolders(RunContext& run, EntrySink& sink, FolderTable& folders, const OffsetMap& map,
                   uint32_t complete, uint32_t folderCount) {
    bool allRead = complete == folderCount;
    if (allRead && map.next != map.declaredSize) {
        say(run, "bad folder decode %d != %d\n", static_cast<int>(map.next),
            static_cast<int>(map.declaredSize));
    }
    // While the records were read, each parent link held the parent's decode offset.
    for (uint32_t i = 0; i < complete; ++i) {
        FolderEntry& entry = folders.entries[i];
        if (entry.parent == noFolder) continue;
        uint32_t offset = entry.parent;
        entry.parent = folderAtOffset(map, offset);
        if (entry.parent == unresolvedFolder && allRead) {
            return reportCorrupt(run, "folder %u: parent offset %u is not the decode offset of any folder\n",
                                 i, offset);
        }
    }
    if (allRead) {
        uint32_t loop = findParentLoop(folders);
        if (loop != noFolder) {
            reportParentLoop(run, loop);
            return false;
        }
    }
    sendFolderEntries(sink, folders, complete, allRead);
    return allRead;
}

void finishFolderPartAndFiles(DatabaseStream& stream, EntrySink& sink, FolderTable& folders,
                              const OffsetMap& map, uint32_t complete, uint32_t folderCount,
                              uint32_t fileCount) {
    if (folderCount > 0) {
        bool allRead = complete != noFolder && complete == folderCount;
        // A recovering run goes on past damage where data follows it (a read across a lost bzip2 block
        // fails, but the data goes on); where the data ends, it ends as the strict run does, with the rows
        // of the folders read.
        bool goOn = stream.run->recover && (complete == noFolder || !failed(stream) ||
                                            bufferedBytes(stream) > 0 || !dataGaps(stream).empty());
        // The folder rows: of every folder, or, where the data ended, of those read (finishFolders is then
        // false, and the reading stops).
        bool sound = (allRead || !goOn) && complete != noFolder &&
                     finishFolders(*stream.run, sink, folders, map, complete, folderCount);
        if (!sound) {
            if (goOn) recoverFilesWithoutFolders(stream, sink, folders, map, fileCount);
            return;
        }
    }
    readFiles16(stream, sink, folders, map, fileCount);
}

void readFiles16(DatabaseStream& stream, EntrySink& sink, FolderTable& folders, const OffsetMap& map,
                 uint32_t fileCount) {
    say(*stream.run, "Loading files...\n");
    if (stream.run->recover) {
        GapReport report;
        report.intact = sink.entriesSent;  // the folders, all read before any damage
        FileParents16 parents{&map};
        recoverRecords(stream, sink, folders, {parseFileRecord16, &parents, 8}, fileCount, report);
        finishGapReport(*stream.run, report);
        return;
    }
    NameState name;
    for (uint32_t k = 0; k < fileCount && !failed(stream); ++k) {
        uint32_t offset = readU32(stream);
        if (failed(stream)) return;
        if (offset >= map.declaredSize) {
            reportCorrupt(*stream.run, "invalid file parent offset %u >= %u\n", offset,
                          static_cast<uint32_t>(map.declaredSize));
            return;
        }
        uint32_t folder = folderAtOffset(map, offset);
        if (folder == unresolvedFolder) {
            reportCorrupt(*stream.run, "file %u: parent offset %u is not the decode offset of any folder\n",
                          k, offset);
            return;
        }
        if (!decodeFrontCodedName(stream, name, NameList::files, CountWidth::byte)) return;
        if (failed(stream)) return;  // no row from a record that was not read in full
        sendEntry(sink, folders, {EntryKind::file, folder, visibleName(name), nullptr});
    }
}

}  // namespace catadump
