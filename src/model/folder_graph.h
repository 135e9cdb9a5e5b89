// The folder graph: the walks up the parent chains that resolve root filesystems, find loops and tell which
// folders of a table read in part may be written.
#pragma once

#include <cstdint>
#include <vector>

#include "io/run_context.h"
#include "model/folder_table.h"

namespace catadump {

// Gives every folder the root filesystem index of the root folder at the top of its chain. False when a
// chain never reaches a root folder (reported, corrupt flag).
bool resolveRootFilesystems(RunContext& run, FolderTable& table);

// ---- Chains ----

// The first folder, in index order, that is its own ancestor, or noFolder when every chain ends at a root.
// Chains through an unresolved parent end there.
uint32_t findParentLoop(const FolderTable& table);

// Reports a folder that is its own ancestor: message and corrupt flag.
void reportParentLoop(RunContext& run, uint32_t folder);

// Which folders may be written when the folder records stopped after `complete` of them: those whose
// whole chain lies in the complete records and ends at a root folder. Chains must be free of loops.
std::vector<bool> completeChains(const FolderTable& table, uint32_t complete);

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

}  // namespace catadump
