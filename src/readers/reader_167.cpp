// Reader for QWTB 1.6.7: the 1.6 design with a longer header, a counted file system list whose paths name
// the root folders, a mount point monitor list, and compact counts in the lists before the folder records.
#include <cinttypes>
#include <cstdint>
#include <string>
#include <vector>

#include "input/field_encodings.h"
#include "io/run_context.h"
#include "readers/family16.h"
#include "readers/reader_common.h"
#include "readers/readers.h"

namespace catadump {

namespace {

constexpr uint64_t folderSlotBase = 13;
constexpr uint64_t rootSlotBase = 17;

// The file system list; false when the reader must stop. Paths are kept: they name the root folders.
bool readFileSystems(DatabaseStream& stream, std::vector<std::string>& paths) {
    uint32_t count = readCompactCount(stream);
    paths.reserve(std::min<uint32_t>(count, 1024));
    say(*stream.run, "file system count %u\n", count);
    for (uint32_t i = 0; i < count; ++i) {
        if (failed(stream)) return false;
        uint32_t type = readCompactCount(stream);
        if (type != 0) {
            return reportCorrupt(*stream.run, "bad file system type %u\n", type);
        }
        std::string& path = paths.emplace_back(readCountedString(stream));
        std::string guid = readCountedString(stream);
        uint32_t serial = readU32(stream);
        uint64_t journal = readU64(stream);
        uint64_t nextUsn = readU64(stream);
        if (failed(stream)) return false;  // an entry that was not read in full is not printed
        say(*stream.run, "file system %u: path %s, guid %s\n", i, path.c_str(), guid.c_str());
        say(*stream.run, "serial number %08x\n", serial);
        say(*stream.run, "USN Journal ID %016" PRIx64 "\n", journal);
        say(*stream.run, "next usn %016" PRIx64 "\n", nextUsn);
    }
    return !failed(stream);
}

bool readMountPointMonitors(DatabaseStream& stream) {
    uint32_t count = readCompactCount(stream);
    say(*stream.run, "mount point monitor count %u\n", count);
    for (uint32_t i = 0; i < count && !failed(stream); ++i) {
        uint64_t frn = readU64(stream);
        uint32_t fsi = readU32(stream);
        if (failed(stream)) break;  // an entry that was not read in full is not printed
        say(*stream.run, "mount point monitor %u: frn %016" PRIx64 ", fsi %u\n", i, frn, fsi);
    }
    return !failed(stream);
}

// The folder records; returns how many were read in full, or noFolder when a structural check stopped.
uint32_t readFolderRecords(DatabaseStream& stream, FolderTable& folders, OffsetMap& map, uint32_t folderCount,
                           const std::vector<std::string>& fileSystemPaths) {
    NameState names;  // root folders neither use nor change it
    uint32_t complete = 0;
    for (; complete < folderCount && !failed(stream); ++complete) {
        skipStreamBytes(stream, 8);
        uint32_t parentOffset = readU32(stream);
        if (failed(stream)) break;
        if (!checkFolderParentOffset(*stream.run, map, parentOffset)) return noFolder;
        readU32(stream);
        bool root = parentOffset == noFolder;
        uint32_t fileSystem = root ? readCompactCount(stream) : 0;
        if (failed(stream)) break;
        if (root && fileSystem >= fileSystemPaths.size()) {
            reportCorrupt(*stream.run,
                          "root folder %u: file system %u is not in the file system list of %u\n", complete,
                          fileSystem, static_cast<uint32_t>(fileSystemPaths.size()));
            return noFolder;
        }
        if (!storeFolderOffset(*stream.run, map)) return noFolder;
        FolderEntry& entry = appendFolder(folders);
        entry.parent = parentOffset;
        if (root) {
            std::string_view path = visibleText(fileSystemPaths[fileSystem]);
            entry.rootFilesystem = fileSystem;
            setFolderNameBytes(folders.names, complete, path);  // the list stays while the table is used
            advanceDecodeOffset(map, rootSlotBase + path.size());
        } else {
            if (!readFolderName(stream, names, folders, complete, map, folderSlotBase)) return noFolder;
        }
        if (failed(stream)) break;  // this record is incomplete
    }
    return complete;
}

void convert(DatabaseStream& stream, EntrySink& sink) {
    readFlagsWord(stream);
    uint32_t folderCount = readU32(stream);
    uint32_t fileCount = readU32(stream);
    OffsetMap map;
    map.declaredSize = readU32(stream);
    uint32_t fileDecodeSize = readU32(stream);
    uint32_t maxFolderPath = readU32(stream);
    uint32_t maxFilePath = readU32(stream);
    say(*stream.run, "number of folders: %u\n", folderCount);
    say(*stream.run, "number of files: %u\n", fileCount);
    stateEntries(sink, folderCount, fileCount);
    say(*stream.run, "folder decode size: %u\n", static_cast<uint32_t>(map.declaredSize));
    say(*stream.run, "file decode size: %u\n", fileDecodeSize);
    say(*stream.run, "max folder full path name size: %u\n", maxFolderPath);
    say(*stream.run, "max file full path name size: %u\n", maxFilePath);

    std::vector<std::string> fileSystemPaths;
    if (failed(stream) || !readFileSystems(stream, fileSystemPaths)) return;
    if (!readMountPointMonitors(stream)) return;
    if (!readExcludeList(stream, ListEncoding::compact)) return;

    say(*stream.run, "Loading folders...\n");
    FolderTable folders;
    TableInUse tableInUse{sink};
    uint32_t complete =
        folderCount > 0 ? readFolderRecords(stream, folders, map, folderCount, fileSystemPaths) : 0;
    finishFolderPartAndFiles(stream, sink, folders, map, complete, folderCount, fileCount);
}

}  // namespace

void readBody167(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }

}  // namespace catadump
