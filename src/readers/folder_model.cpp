#include "readers/folder_model.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "stream/console.h"

namespace catadump {

namespace {

enum Visit : uint8_t { unvisited, onWalk, finished };

} // namespace

void setFolderCount(FolderTable& table, uint32_t count) {
    table.entries.assign(count, FolderEntry{});
    table.names.names.assign(count, FolderName{});
}

FolderEntry& appendFolder(FolderTable& table) {
    table.names.names.emplace_back();
    return table.entries.emplace_back();
}

bool readParentLinks(DatabaseStream& stream, uint32_t folderCount, uint32_t filesystemCount,
                     FolderTable& table) {
    say("Loading Hierarchy...\n");
    uint64_t limit = uint64_t{folderCount} + filesystemCount;
    // The references are gathered first, so that the table itself is allocated once, at the size the data
    // has shown to be real.
    std::vector<uint32_t> references;
    references.reserve(std::min<uint32_t>(folderCount, 1u << 16));
    for (uint32_t i = 0; i < folderCount; ++i) {
        if (runFlags().readError) return false;
        uint32_t reference = readU32(stream);
        if (runFlags().readError) return false;
        if (reference >= limit) {
            say("invalid folder offset %u >= %llu\n", reference, static_cast<unsigned long long>(limit));
            runFlags().corrupt = true;
            return false;
        }
        references.push_back(reference);
    }
    setFolderCount(table, static_cast<uint32_t>(references.size()));
    for (uint32_t i = 0; i < folderCount; ++i) {
        FolderEntry& entry = table.entries[i];
        if (references[i] < folderCount) {
            entry.parent = references[i];
        } else {
            entry.rootFilesystem = references[i] - folderCount;
        }
    }
    return true;
}

namespace {

enum class ChainEnd { root, outside, loop, joined };

// Walks the chains of the first `count` folders once each, in index order: from every folder not walked
// yet, up its parents while they are among the first `count` and not walked yet. For each walk,
// finish(chain, end, last) gets the folders walked (the first at the front), how the walk ended and the
// folder it ended at: past a root folder, at a parent outside the first `count` (or unresolved), at a
// folder met twice (a loop), or at a folder a walk before has judged. A false return stops the walks.
template <typename Finish>
void walkChains(const FolderTable& table, uint32_t count, Finish&& finish) {
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
        ChainEnd end = folder == noFolder ? ChainEnd::root
                       : folder >= count  ? ChainEnd::outside
                       : visit[folder] == onWalk ? ChainEnd::loop
                                                 : ChainEnd::joined;
        for (uint32_t walked : chain) visit[walked] = finished;
        if (!finish(chain, end, folder)) return;
    }
}

} // namespace

bool resolveRootFilesystems(FolderTable& table) {
    std::vector<FolderEntry>& entries = table.entries;
    bool resolved = true;
    walkChains(table, static_cast<uint32_t>(entries.size()),
               [&](const std::vector<uint32_t>& chain, ChainEnd end, uint32_t last) {
                   if (end != ChainEnd::root && end != ChainEnd::joined) {
                       reportParentLoop(last);
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

void reportParentLoop(uint32_t folder) {
    say("folder %u is its own ancestor: its parent chain never reaches a root folder\n", folder);
    runFlags().corrupt = true;
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

namespace {

// Builds the folder's path, and those of the folders above it, as far as the budget for kept paths goes.
// Returns the built path nearest to the folder; table.chain then holds, from the folder up, the folders
// below it whose paths could not be built (none when the folder's own path was).
std::string_view buildPath(FolderTable& table, uint32_t folder) {
    std::vector<FolderEntry>& entries = table.entries;
    std::vector<uint32_t>& chain = table.chain;
    chain.clear();
    // Walk up to the nearest folder whose path is built (or past the root), then build downwards.
    uint32_t above = folder;
    while (above < entries.size() && entries[above].path == nullptr && chain.size() <= entries.size()) {
        chain.push_back(above);
        above = entries[above].parent;
    }
    std::string_view base;
    if (above < entries.size() && entries[above].path != nullptr) base = {entries[above].path, entries[above].pathLength};
    while (!chain.empty()) {
        uint32_t below = chain.back();
        FolderEntry& entry = entries[below];
        size_t length = base.size() + table.names.names[below].visibleLength + 1;
        if (table.pathBytes + length > table.pathBudget) break;
        char* path = allocateText(table.paths, length);
        if (!base.empty()) std::memcpy(path, base.data(), base.size());
        copyVisibleName(table.names, below, path + base.size());
        path[length - 1] = '\\';
        entry.path = path;
        entry.pathLength = static_cast<uint32_t>(length);
        table.pathBytes += length;
        base = {path, length};
        chain.pop_back();
    }
    return base;
}

// The folder's whole path when it is built or can be, else nothing: the path must then be streamed.
std::optional<std::string_view> builtPath(FolderTable& table, uint32_t folder) {
    if (folder == noFolder) return std::string_view();
    const FolderEntry& entry = table.entries[folder];
    if (entry.path != nullptr) return std::string_view(entry.path, entry.pathLength);
    std::string_view base = buildPath(table, folder);
    if (!table.chain.empty()) return std::nullopt;
    return base;
}

// Room for the quote, the parent's path and `nameLength` more bytes in one block of the writer's buffer,
// with the quote and the path filled in; `total` is the block's size. Null when the path cannot be built
// or the block does not fit: the caller then writes the pieces one by one.
char* reserveOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, size_t nameLength, size_t& total) {
    std::optional<std::string_view> path = builtPath(table, parent);
    if (!path) return nullptr;
    total = 1 + path->size() + nameLength;
    char* out = reserveSpace(writer, total);
    if (out == nullptr) return nullptr;
    *out = '"';
    if (!path->empty()) std::memcpy(out + 1, path->data(), path->size());
    return out;
}

} // namespace

void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder) {
    if (folder == noFolder) return;
    const FolderEntry& entry = table.entries[folder];
    if (entry.path != nullptr) {
        writeBytes(writer, entry.path, entry.pathLength);
        return;
    }
    writeString(writer, buildPath(table, folder));
    // Past the budget: the names below the last built path, top folder first, straight to the output.
    const std::vector<uint32_t>& below = table.chain;
    for (size_t k = below.size(); k > 0; --k) {
        writeVisibleName(writer, table.names, below[k - 1]);
        writeBytes(writer, "\\", 1);
    }
}

void writeRowOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shown) {
    size_t total = 0;
    if (char* out = reserveOpening(writer, table, parent, shown.size(), total)) {
        if (!shown.empty()) std::memcpy(out + total - shown.size(), shown.data(), shown.size());
        commitSpace(writer, total);
        return;
    }
    writeBytes(writer, "\"", 1);
    writeFolderPath(writer, table, parent);
    writeString(writer, shown);
}

void writeFolderRowOpening(CsvWriter& writer, FolderTable& table, uint32_t folder) {
    uint32_t parent = table.entries[folder].parent;
    size_t length = table.names.names[folder].visibleLength;
    size_t total = 0;
    if (char* out = reserveOpening(writer, table, parent, length, total)) {
        copyVisibleName(table.names, folder, out + total - length);
        commitSpace(writer, total);
        return;
    }
    writeBytes(writer, "\"", 1);
    writeFolderPath(writer, table, parent);
    writeVisibleName(writer, table.names, folder);
}

void writeFolderRow(CsvWriter& writer, FolderTable& table, uint32_t folder) {
    writeFolderRowOpening(writer, table, folder);
    writeString(writer, "\",16\r\n");
}

void writeFileRow(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName) {
    writeRowOpening(writer, table, parent, shownName);
    writeString(writer, "\",0\r\n");
}

void writeFolderRows(CsvWriter& writer, FolderTable& table, uint32_t complete, bool allRead) {
    forEachFolderToWrite(table, complete, allRead, [&](uint32_t folder) { writeFolderRow(writer, table, folder); });
}

} // namespace catadump
