// What the two QWTB readers (1.6.6 and 1.6.7) share: the exclude list, decode offsets and the offset map
// through which parents are named, the end of the folder part, and the file part.
#pragma once

#include <cstdint>
#include <vector>

#include "readers/folder_model.h"
#include "stream/csv_writer.h"
#include "stream/database_stream.h"

namespace catadump {

// Every folder occupies a slot in the decoded folder area; parents are named by the decode offset at which
// their slot begins. The map keeps, at each folder's decode offset, that folder's index.
struct OffsetMap {
    uint64_t declaredSize = 0;        // the folder decode size from the header: bound of every offset
    uint64_t next = 0;                // decode offset of the next folder
    std::vector<uint8_t> slots;       // grows with the folders stored, never beyond declaredSize
    std::vector<uint32_t> offsetOf;   // decode offset of each folder stored, to confirm a lookup
};

// Checks a folder's parent offset: 0xFFFFFFFF (no parent) or below the folder decode size. False when it
// is out of bounds (reported, corrupt flag).
bool checkFolderParentOffset(const OffsetMap& map, uint32_t parentOffset);

// Stores the folder's index at the next decode offset. False when the slot would reach past the folder
// decode size (reported, corrupt flag): nothing is ever stored outside the map.
bool storeFolderOffset(OffsetMap& map, uint32_t folder);

// The slot of the folder just stored ends here; the next folder's slot begins after it.
inline void advanceDecodeOffset(OffsetMap& map, uint64_t slotSize) { map.next += slotSize; }

// The folder whose slot begins at this offset, or unresolvedFolder when none of those read does.
uint32_t folderAtOffset(const OffsetMap& map, uint32_t offset);

// A folder's one-byte front-coded name, stored as the entry's name; the folder's slot is slotBase plus the
// name's length. False after an invalid strip count (reported, corrupt flag).
bool readFolderName(DatabaseStream& stream, NameState& names, FolderTable& folders, FolderEntry& entry,
                    OffsetMap& map, uint64_t slotBase);

// The exclude list: its counts and lengths are u32 (fixed) in 1.6.6 and compact counts in 1.6.7.
enum class ListEncoding { fixed, compact };
// False when a read failed on the way (the reader stops).
bool readExcludeList(DatabaseStream& stream, ListEncoding encoding);

// After the folder records: the decode check, parents resolved through the map, chains checked, and the
// folder rows. `complete` of the `folderCount` records were read in full. False when no file part follows.
bool finishFolders(CsvWriter& writer, FolderTable& folders, const OffsetMap& map, uint32_t complete,
                   uint32_t folderCount);

// "Loading files..." and the file records with their rows.
void readFiles16(DatabaseStream& stream, CsvWriter& writer, FolderTable& folders, const OffsetMap& map,
                 uint32_t fileCount);

} // namespace catadump
