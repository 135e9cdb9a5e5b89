// The folder model that every reader shares: the folder table, parent links and their checks, the full
// path of every folder, and the text of folder and file rows. Names are kept as folder_names.h describes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "readers/folder_names.h"
#include "stream/csv_writer.h"
#include "stream/database_stream.h"

namespace catadump {

inline constexpr uint32_t unresolvedFolder = 0xFFFFFFFE;  // a parent that names no folder that was read

struct FolderEntry {
    const char* path = nullptr;  // full path with a backslash after each name, once it has been built
    uint32_t pathLength = 0;
    uint32_t rootFilesystem = 0;
    uint32_t parent = noFolder;  // index of the parent folder, or noFolder for a root folder
};

struct FolderTable {
    std::vector<FolderEntry> entries;
    FolderNames names;          // one name per entry
    TextArena paths;
    size_t pathBytes = 0;       // bytes of built paths kept
    size_t pathBudget = size_t{64} << 20;
    std::vector<uint32_t> chain;
};

// Sizes the table for `count` folders, or adds one folder at the end.
void setFolderCount(FolderTable& table, uint32_t count);
FolderEntry& appendFolder(FolderTable& table);

// ---- Parent links of the 1.7 family ----

// Reads the hierarchy block: one parent reference per folder. The table grows as references are read.
// False when the reader must stop: a read failed, or a reference was invalid (reported, corrupt flag).
bool readParentLinks(DatabaseStream& stream, uint32_t folderCount, uint32_t filesystemCount,
                     FolderTable& table);

// Gives every folder the root filesystem index of the root folder at the top of its chain. False when a
// chain never reaches a root folder (reported, corrupt flag).
bool resolveRootFilesystems(FolderTable& table);

// ---- Chains ----

// The first folder, in index order, that is its own ancestor, or noFolder when every chain ends at a root.
// Chains through an unresolved parent end there.
uint32_t findParentLoop(const FolderTable& table);

// Reports a folder that is its own ancestor: message and corrupt flag.
void reportParentLoop(uint32_t folder);

// Which folders may be written when the folder records stopped after `complete` of them: those whose
// whole chain lies in the complete records and ends at a root folder. Chains must be free of loops.
std::vector<bool> completeChains(const FolderTable& table, uint32_t complete);

// ---- Rows ----

// Appends the folder's full path: each name from the top folder down to this one, each followed by "\\";
// nothing for noFolder.
void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + path + name + "\",16\r\n"
void writeFolderRow(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + the parent folder's path + name + "\",0\r\n", for the name's visible bytes
void writeFileRow(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

// Calls writeRow(index) for the folders to write, in index order: every folder when all records were read,
// otherwise those among the first `complete` whose chains were read in full and resolved.
template <typename WriteRow>
void forEachFolderToWrite(const FolderTable& table, uint32_t complete, bool allRead, WriteRow&& writeRow) {
    if (allRead) {
        for (uint32_t i = 0; i < table.entries.size(); ++i) writeRow(i);
        return;
    }
    std::vector<bool> writable = completeChains(table, complete);
    for (uint32_t i = 0; i < writable.size(); ++i) {
        if (writable[i]) writeRow(i);
    }
}

// The two-column folder rows, as forEachFolderToWrite chooses them.
void writeFolderRows(CsvWriter& writer, FolderTable& table, uint32_t complete, bool allRead);

// The opening of a file row: the quote, the path of the parent folder (if any) and the name's visible bytes.
void writeRowOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

// The opening of a folder row: the quote, the path of its parent folder (if any) and its visible name.
void writeFolderRowOpening(CsvWriter& writer, FolderTable& table, uint32_t folder);

} // namespace catadump
