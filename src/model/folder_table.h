// The folder table that every reader shares: one entry per folder, with its parent link, root filesystem
// and built path, beside the names (folder_names.h). folder_graph.h checks and walks the links,
// folder_rows.h writes paths and rows.
#pragma once

#include <cstdint>
#include <vector>

#include "model/folder_names.h"

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
    FolderNames names;     // one name per entry; the built paths are kept in its arena too
    size_t pathBytes = 0;  // bytes of built paths kept
    size_t pathBudget = size_t{64} << 20;
    std::vector<uint32_t> chain;
};

// Sizes the table for `count` folders, or adds one folder at the end.
void setFolderCount(FolderTable& table, uint32_t count);
FolderEntry& appendFolder(FolderTable& table);

}  // namespace catadump
