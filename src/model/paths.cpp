#include "model/paths.h"

#include <cstring>
#include <vector>

namespace catadump {

std::string_view buildFolderPath(FolderTable& table, uint32_t folder) {
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
    if (above < entries.size() && entries[above].path != nullptr)
        base = {entries[above].path, entries[above].pathLength};
    while (!chain.empty()) {
        uint32_t below = chain.back();
        FolderEntry& entry = entries[below];
        size_t length = base.size() + table.names.names[below].visibleLength + 1;
        if (table.pathBytes + length > table.pathBudget) break;
        char* path = allocateText(table.names.text, length);
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

std::optional<std::string_view> buildAndKeepFolderPath(FolderTable& table, uint32_t folder) {
    std::string_view base = buildFolderPath(table, folder);
    if (!table.chain.empty()) return std::nullopt;
    return base;
}

void appendVisibleName(std::string& out, const FolderTable& table, uint32_t folder) {
    size_t at = out.size();
    out.resize(at + table.names.names[folder].visibleLength);
    copyVisibleName(table.names, folder, out.data() + at);
}

void appendFolderPath(std::string& out, FolderTable& table, uint32_t folder) {
    if (folder == noFolder) return;
    const FolderEntry& entry = table.entries[folder];
    if (entry.path != nullptr) {
        out.append(entry.path, entry.pathLength);
        return;
    }
    out += buildFolderPath(table, folder);
    const std::vector<uint32_t>& below = table.chain;
    for (size_t k = below.size(); k > 0; --k) {
        appendVisibleName(out, table, below[k - 1]);
        out += '\\';
    }
}

void entryPath(FolderTable& table, const Entry& entry, std::string& path) {
    path.clear();
    if (entry.kind == EntryKind::folder) {
        appendFolderPath(path, table, table.entries[entry.folder].parent);
        appendVisibleName(path, table, entry.folder);
    } else {
        appendFolderPath(path, table, entry.folder);
        path += entry.name;
    }
}

}  // namespace catadump
