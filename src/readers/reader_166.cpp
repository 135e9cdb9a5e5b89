// Reader for QWTB 1.6.6: a fixed drive list of 26 letters, the exclude list, folder records that name
// their parent by decode offset, and file records. Names use single-byte counts.
#include <cinttypes>
#include <cstdint>

#include "io/run_context.h"
#include "readers/family16.h"
#include "readers/reader_common.h"
#include "readers/readers.h"

namespace catadump {

namespace {

constexpr uint64_t folderSlotBase = 14;

void readDriveList(DatabaseStream& stream) {
    for (int drive = 0; drive < 26; ++drive) {
        if (readU8(stream) == 0) continue;
        say(*stream.run, "include drive %c:\n", 'A' + drive);
        say(*stream.run, "serial number %08x\n", readU32(stream));
        say(*stream.run, "USN Journal ID %016" PRIx64 "\n", readU64(stream));
        say(*stream.run, "next usn %016" PRIx64 "\n", readU64(stream));
    }
}

// The folder records; returns how many were read in full, or noFolder when a structural check stopped.
uint32_t readFolderRecords(DatabaseStream& stream, FolderTable& folders, OffsetMap& map,
                           uint32_t folderCount) {
    NameState names;
    uint32_t complete = 0;
    for (; complete < folderCount && !failed(stream); ++complete) {
        readU8(stream);
        skipStreamBytes(stream, 8);
        uint32_t parentOffset = readU32(stream);
        if (failed(stream)) break;
        if (!checkFolderParentOffset(*stream.run, map, parentOffset)) return noFolder;
        readU32(stream);
        if (failed(stream)) break;  // the record ends here: no structural check of what was not read
        if (!storeFolderOffset(*stream.run, map)) return noFolder;
        appendFolder(folders).parent = parentOffset;
        if (!readFolderName(stream, names, folders, complete, map, folderSlotBase)) return noFolder;
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
    say(*stream.run, "number of folders: %d\n", static_cast<int>(folderCount));
    say(*stream.run, "number of files: %d\n", static_cast<int>(fileCount));
    stateEntries(sink, folderCount, fileCount);
    say(*stream.run, "folder decode size: %d\n", static_cast<int>(map.declaredSize));
    say(*stream.run, "file decode size: %d\n", static_cast<int>(fileDecodeSize));
    readDriveList(stream);
    if (failed(stream) || !readExcludeList(stream, ListEncoding::fixed)) return;

    say(*stream.run, "Loading folders...\n");
    FolderTable folders;
    TableInUse tableInUse{sink};
    uint32_t complete = folderCount > 0 ? readFolderRecords(stream, folders, map, folderCount) : 0;
    finishFolderPartAndFiles(stream, sink, folders, map, complete, folderCount, fileCount);
}

}  // namespace

void readBody166(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }

}  // namespace catadump
