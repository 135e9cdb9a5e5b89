// Folder paths and entry paths. Each folder path is built once, within the table's budget, and kept in the
// names' arena; past the budget a path is put together from the names each time it is asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/entry.h"
#include "model/folder_table.h"

namespace catadump {

// Builds the folder's path, and those of the folders above it, as far as the budget for kept paths goes.
// Returns the built path nearest to the folder; table.chain then holds, from the folder up, the folders
// below it whose paths could not be built (none when the folder's own path was).
std::string_view buildFolderPath(FolderTable& table, uint32_t folder);

// builtFolderPath for a folder whose path is not built yet.
std::optional<std::string_view> buildAndKeepFolderPath(FolderTable& table, uint32_t folder);

// The folder's whole path, each name followed by "\\", when it is built or can be; empty for noFolder;
// nothing when the budget is spent, and the path must then be put together piece by piece. Inline, as
// every row asks for the path of its folder, which is nearly always built.
inline std::optional<std::string_view> builtFolderPath(FolderTable& table, uint32_t folder) {
    if (folder == noFolder) return std::string_view();
    const FolderEntry& entry = table.entries[folder];
    if (entry.path != nullptr) return std::string_view(entry.path, entry.pathLength);
    return buildAndKeepFolderPath(table, folder);
}

// Appends the folder's full path: each name from the top folder down to this one, each followed by "\\";
// nothing for noFolder.
void appendFolderPath(std::string& out, FolderTable& table, uint32_t folder);
// Appends the visible bytes of the folder's own name.
void appendVisibleName(std::string& out, const FolderTable& table, uint32_t folder);

// The entry's whole path into `path` (replacing what it held): the folders from the top down, each with a
// backslash after it, then the name.
void entryPath(FolderTable& table, const Entry& entry, std::string& path);

}  // namespace catadump
