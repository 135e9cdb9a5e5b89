// Pieces that several readers share: the flags word that opens every body, the 1.7 family's parent links
// and the parent reference that opens each of its file records, and the folder entries handed on.
#pragma once

#include <cstdint>

#include "input/database_stream.h"
#include "model/entry.h"
#include "model/folder_graph.h"
#include "readers/filesystem_table.h"

namespace catadump {

inline constexpr uint32_t flagHiddenExcluded = 0x02;
inline constexpr uint32_t flagSystemExcluded = 0x04;

// Reads the 1.7 family's hierarchy block: one parent reference per folder. The table grows as references
// are read. False when the reader must stop: a read failed, or a reference was invalid (reported, corrupt
// flag). Given `invalidSeen`, an invalid reference (the first reported) does not stop the reading: the
// flag says one was met, and that folder is left a root.
bool readParentLinks(DatabaseStream& stream, uint32_t folderCount, uint32_t filesystemCount,
                     FolderTable& table, bool* invalidSeen = nullptr);

// Hands on the folder entries of the versions without values, as forEachFolderToWrite chooses them.
void sendFolderEntries(EntrySink& sink, FolderTable& table, uint32_t complete, bool allRead);

// Reads the flags word and prints it with the hidden and system lines its bits call for.
uint32_t readFlagsWord(DatabaseStream& stream);

// The type of the filesystem with this index; indexes outside the table have no type any reader knows.
inline uint32_t filesystemTypeOf(const FilesystemTable& filesystems, uint32_t index) {
    return index < filesystems.count() ? filesystems.entries[index].type : 0xFFFFFFFF;
}

// Where a 1.7 file hangs: a folder (and that folder's filesystem), or directly a filesystem.
struct FileParent {
    uint32_t folder = noFolder;
    uint32_t filesystem = 0;
};

// Reads a file's parent reference and checks it against folders + filesystems. False when the reader must
// stop: the read failed, or the reference is invalid (reported, corrupt flag).
bool readFileParent(DatabaseStream& stream, const FolderTable& folders, uint32_t folderCount,
                    uint32_t filesystemCount, FileParent& parent);

}  // namespace catadump
