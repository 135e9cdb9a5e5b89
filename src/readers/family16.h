// What the two QWTB readers (1.6.6 and 1.6.7) share: the exclude list, decode offsets and the offset map
// through which parents are named, the end of the folder part, and the file part.
#pragma once

#include <cstdint>
#include <vector>

#include "input/database_stream.h"
#include "io/run_context.h"
#include "model/entry.h"

namespace catadump {

// Every folder occupies a slot in the decoded folder area; parents are named by the decode offset at which
// their slot begins. Slots follow one another, so the decode offsets of the folders rise with their index
// and a folder is found by searching them. (A map of the whole area would grow with the decoded names,
// which front coding lets grow with the square of the bytes read.)
struct OffsetMap {
    uint64_t declaredSize = 0;       // the folder decode size from the header: bound of every offset
    uint64_t next = 0;               // decode offset of the next folder
    std::vector<uint32_t> offsetOf;  // decode offset of each folder stored, rising
};

// Checks a folder's parent offset: 0xFFFFFFFF (no parent) or below the folder decode size. False when it
// is out of bounds (reported, corrupt flag).
bool checkFolderParentOffset(RunContext& run, const OffsetMap& map, uint32_t parentOffset);

// Records the next decode offset as that of the next folder. False when the folder's index would reach
// past the folder decode size (reported, corrupt flag).
bool storeFolderOffset(RunContext& run, OffsetMap& map);

// The slot of the folder just stored ends here; the next folder's slot begins after it.
inline void advanceDecodeOffset(OffsetMap& map, uint64_t slotSize) { map.next += slotSize; }

// The folder whose slot begins at this offset, or unresolvedFolder when none of those read does.
uint32_t folderAtOffset(const OffsetMap& map, uint32_t offset);

// A folder's one-byte front-coded name, stored as the folder's name; the folder's slot is slotBase plus the
// name's length. False after an invalid strip count (reported, corrupt flag).
bool readFolderName(DatabaseStream& stream, NameState& names, FolderTable& folders, uint32_t folder,
                    OffsetMap& map, uint64_t slotBase);

// The exclude list: its counts and lengths are u32 (fixed) in 1.6.6 and compact counts in 1.6.7.
enum class ListEncoding { fixed, compact };
// False when a read failed on the way (the reader stops).
bool readExcludeList(DatabaseStream& stream, ListEncoding encoding);

// After the folder records: the decode check, parents resolved through the map, chains checked, and the
// folder rows. `complete` of the `folderCount` records were read in full. False when no file part follows.
bool finishFolders(RunContext& run, EntrySink& sink, FolderTable& folders, const OffsetMap& map,
                   uint32_t complete, uint32_t folderCount);

// The end of the folder part (finishFolders) and the file part. `complete` is what the folder records'
// reading returned: how many were read in full, or noFolder when a structural check stopped it. Where
// the folder records were damaged, a strict run stops; a recovering one reads on where data follows.
void finishFolderPartAndFiles(DatabaseStream& stream, EntrySink& sink, FolderTable& folders,
                              const OffsetMap& map, uint32_t complete, uint32_t folderCount,
                              uint32_t fileCount);

// "Loading files..." and the file records with their rows.
void readFiles16(DatabaseStream& stream, EntrySink& sink, FolderTable& folders, const OffsetMap& map,
                 uint32_t fileCount);

}  // namespace catadump
