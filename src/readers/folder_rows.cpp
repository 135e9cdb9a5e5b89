#include "readers/folder_rows.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "stream/number_text.h"

namespace catadump {

void writeHeaderLine(CsvWriter& writer, ColumnSet columns) {
    writeString(writer, headerLineText(columns));
    writeString(writer, "\r\n");
}

// Formatted straight into the writer's buffer. The room asked for is that of the longest values; a short
// number stores up to decimalStoreWidth bytes, which stays within it: each date or size column has the room
// of a 20-digit number, and the attributes, last, the room of the wider of the two.
void writeValueColumns(CsvWriter& writer, const RowValues& values) {
    // Four u64 with commas, a u32, the quote and comma before and CR LF after.
    constexpr size_t longest = 2 + 4 * (maxDigitsU64 + 1) + std::max(decimalStoreWidth, maxDigitsU32) + 2;
    char* start = reserveSpace(writer, longest);
    char* out = start;
    *out++ = '"';
    *out++ = ',';
    for (uint64_t value : {values.size, values.dateCreated, values.dateModified, values.dateAccessed}) {
        out = writeDecimal(out, value);
        *out++ = ',';
    }
    out = writeDecimal(out, values.attributes);
    *out++ = '\r';
    *out++ = '\n';
    commitSpace(writer, static_cast<size_t>(out - start));
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
    out += buildPath(table, folder);
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

void writeFolderEntries(RowOutput& output, FolderTable& table, uint32_t complete, bool allRead) {
    forEachFolderToWrite(table, complete, allRead, [&](uint32_t folder) {
        writeEntry(output, table, {EntryKind::folder, folder, {}, nullptr});
    });
}

} // namespace catadump
