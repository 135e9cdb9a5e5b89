#include "model/folder_graph.h"

#include <algorithm>

#include "io/run_context.h"

namespace catadump {

namespace {

enum Visit : uint8_t { unvisited, onWalk, finished };
enum class ChainEnd { root, outside, loop, joined };

// Walks the chains of the first `count` folders once each, in index order: from every folder not walked
// yet, up its parents while they are among the first `count` and not walked yet. For each walk,
// finish(chain, end, last) gets the folders walked (the first at the front), how the walk ended and the
// folder it ended at: past a root folder, at a parent outside the first `count` (or unresolved), at a
// folder met twice (a loop), or at a folder a walk before has judged. A false return stops the walks.
template <typename Finish> void walkChains(const FolderTable& table, uint32_t count, Finish&& finish) {
    const std::vector<FolderEntry>& entries = table.entries;
    std::vector<uint8_t> visit(count, unvisited);
    std::vector<uint32_t> chain;
    for (uint32_t i = 0; i < count; ++i) {
        if (visit[i] != unvisited) continue;
        chain.clear();
        uint32_t folder = i;
        while (folder < count && visit[folder] == unvisited) {
            visit[folder] = onWalk;
            chain.push_back(folder);
            folder = entries[folder].parent;
        }
        ChainEnd end = folder == noFolder        ? ChainEnd::root
                       : folder >= count         ? ChainEnd::outside
                       : visit[folder] == onWalk ? ChainEnd::loop
                                                 : ChainEnd::joined;
        for (uint32_t walked : chain) visit[walked] = finished;
        if (!finish(chain, end, folder)) return;
    }
}

}  // namespace

bool resolveRootFilesystems(RunContext& run, FolderTable& table) {
    std::vector<FolderEntry>& entries = table.entries;
    bool resolved = true;
    walkChains(table, static_cast<uint32_t>(entries.size()),
               [&](const std::vector<uint32_t>& chain, ChainEnd end, uint32_t last) {
                   if (end != ChainEnd::root && end != ChainEnd::joined) {
                       reportParentLoop(run, last);
                       return resolved = false;
                   }
                   uint32_t root = entries[end == ChainEnd::root ? chain.back() : last].rootFilesystem;
                   for (uint32_t folder : chain) entries[folder].rootFilesystem = root;
                   return true;
               });
    return resolved;
}

uint32_t findParentLoop(const FolderTable& table) {
    uint32_t loop = noFolder;
    walkChains(table, static_cast<uint32_t>(table.entries.size()),
               [&](const std::vector<uint32_t>&, ChainEnd end, uint32_t last) {
                   if (end == ChainEnd::loop) loop = last;
                   return loop == noFolder;
               });
    return loop;
}

void reportParentLoop(RunContext& run, uint32_t folder) {
    reportCorrupt(run, "folder %u is its own ancestor: its parent chain never reaches a root folder\n",
                  folder);
}

std::vector<bool> completeChains(const FolderTable& table, uint32_t complete) {
    uint32_t count = std::min<uint32_t>(complete, static_cast<uint32_t>(table.entries.size()));
    std::vector<bool> writable(count, false);
    walkChains(table, count, [&](const std::vector<uint32_t>& chain, ChainEnd end, uint32_t last) {
        // Whole chains end at a root folder, or at a folder already judged whole.
        bool whole = end == ChainEnd::root || (end == ChainEnd::joined && writable[last]);
        for (uint32_t folder : chain) writable[folder] = whole;
        return true;
    });
    return writable;
}

}  // namespace catadump
