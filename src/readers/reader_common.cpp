#include "readers/reader_common.h"

#include "stream/run_context.h"

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
        say(*stream.run, "invalid parent folder offset %u >= %llu\n", reference, static_cast<unsigned long long>(limit));
        stream.run->flags.corrupt = true;
        return false;
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

} // namespace catadump
