#include "readers/reader_common.h"

#include <algorithm>
#include <vector>

#include "io/run_context.h"

namespace catadump {

uint32_t readFlagsWord(DatabaseStream& stream) {
    uint32_t flags = readU32(stream);
    say(*stream.run, "flags %08x\n", flags);
    // "exluded" is misspelt on purpose: scripts match these lines as the program has always printed them.
    if (flags & flagHiddenExcluded) say(*stream.run, "hidden files and folders exluded\n");
    if (flags & flagSystemExcluded) say(*stream.run, "system files and folders exluded\n");
    return flags;
}

bool readFileParent(DatabaseStream& stream, const FolderTable& folders, uint32_t folderCount,
                    uint32_t filesystemCount, FileParent& parent) {
    uint32_t reference = readU32(stream);
    if (failed(stream)) return false;
    uint64_t limit = uint64_t{folderCount} + filesystemCount;
    if (reference >= limit) {
        return reportCorrupt(*stream.run, "invalid parent folder offset %u >= %llu\n", reference,
                             static_cast<unsigned long long>(limit));
    }
    if (reference < folderCount) {
        parent.folder = reference;
        parent.filesystem = folders.entries[reference].rootFilesystem;
    } else {
        parent.folder = noFolder;
        parent.filesystem = reference - folderCount;
    }
    return true;
}

bool readParentLinks(DatabaseStream& stream, uint32_t folderCount, uint32_t filesystemCount,
                     FolderTable& table, bool* invalidSeen) {
    say(*stream.run, "Loading Hierarchy...\n");
    uint64_t limit = uint64_t{folderCount} + filesystemCount;
    // The references are gathered first, so that the table itself is allocated once, at the size the data
    // has shown to be real.
    std::vector<uint32_t> references;
    references.reserve(std::min<uint32_t>(folderCount, 1u << 16));
    for (uint32_t i = 0; i < folderCount; ++i) {
        if (failed(stream)) return false;
        uint32_t reference = readU32(stream);
        if (failed(stream)) return false;
        if (reference >= limit) {
            if (invalidSeen == nullptr || !*invalidSeen) {
                reportCorrupt(*stream.run, "invalid folder offset %u >= %llu\n", reference,
                              static_cast<unsigned long long>(limit));
            }
            if (invalidSeen == nullptr) return false;
            *invalidSeen = true;
            reference = folderCount;  // a root on the first filesystem
        }
        references.push_back(reference);
    }
    setFolderCount(table, static_cast<uint32_t>(references.size()));
    for (uint32_t i = 0; i < folderCount; ++i) {
        FolderEntry& entry = table.entries[i];
        if (references[i] < folderCount) {
            entry.parent = references[i];
        } else {
            entry.rootFilesystem = references[i] - folderCount;
        }
    }
    return true;
}

void sendFolderEntries(EntrySink& sink, FolderTable& table, uint32_t complete, bool allRead) {
    forEachFolderToWrite(table, complete, allRead, [&](uint32_t folder) {
        sendEntry(sink, table, {EntryKind::folder, folder, {}, nullptr});
    });
}

}  // namespace catadump
