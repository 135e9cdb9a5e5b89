#include "readers/family16.h"

#include <algorithm>

#include "stream/run_context.h"
#include "stream/field_encodings.h"

namespace catadump {

namespace {

uint32_t readListCount(DatabaseStream& stream, ListEncoding encoding) {
    return encoding == ListEncoding::fixed ? readU32(stream) : readCompactCount(stream);
}

} // namespace

bool checkFolderParentOffset(RunContext& run, const OffsetMap& map, uint32_t parentOffset) {
    if (parentOffset == noFolder || parentOffset < map.declaredSize) return true;
    // The "<" is deliberate: the line has always read so, whatever the comparison that failed.
    say(run, "bad folder parent offset %u < %u\n", parentOffset, static_cast<uint32_t>(map.declaredSize));
    run.flags.corrupt = true;
    return false;
}

bool storeFolderOffset(RunContext& run, OffsetMap& map) {
    uint64_t end = map.next + 4;
    if (end > map.declaredSize) {
        say(run, "folder data overflow %llu %u\n", static_cast<unsigned long long>(end),
            static_cast<uint32_t>(map.declaredSize));
        run.flags.corrupt = true;
        return false;
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

bool finishFolders(RowOutput& output, FolderTable& folders, const OffsetMap& map, uint32_t complete,
                   uint32_t folderCount) {
    RunContext& run = *output.writer->run;
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
            say(run, "folder %u: parent offset %u is not the decode offset of any folder\n", i, offset);
            run.flags.corrupt = true;
            return false;
        }
    }
    if (allRead) {
        uint32_t loop = findParentLoop(folders);
        if (loop != noFolder) {
            reportParentLoop(run, loop);
            return false;
        }
    }
    writeFolderEntries(output, folders, complete, allRead);
    return allRead;
}

void readFiles16(DatabaseStream& stream, RowOutput& output, FolderTable& folders, const OffsetMap& map,
                 uint32_t fileCount) {
    say(*stream.run, "Loading files...\n");
    NameState name;
    for (uint32_t k = 0; k < fileCount && !failed(stream); ++k) {
        uint32_t offset = readU32(stream);
        if (failed(stream)) return;
        if (offset >= map.declaredSize) {
            say(*stream.run, "invalid file parent offset %u >= %u\n", offset,
                static_cast<uint32_t>(map.declaredSize));
            stream.run->flags.corrupt = true;
            return;
        }
        uint32_t folder = folderAtOffset(map, offset);
        if (folder == unresolvedFolder) {
            say(*stream.run, "file %u: parent offset %u is not the decode offset of any folder\n", k, offset);
            stream.run->flags.corrupt = true;
            return;
        }
        if (!decodeFrontCodedName(stream, name, NameList::files, CountWidth::byte)) return;
        if (failed(stream)) return;  // no row from a record that was not read in full
        writeEntry(output, folders, {EntryKind::file, folder, visibleName(name), nullptr});
    }
}

} // namespace catadump
