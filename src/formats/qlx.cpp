// The list as it has always been written (.qlx): every path in quotes, nothing escaped inside them, the
// stored numbers as they are, CR LF. The fast path: kept paths are copied straight into the writer's
// buffer and the numbers formatted there.
#include "formats/qlx.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "formats/format_rows.h"
#include "model/paths.h"

namespace catadump {

void writeHeaderLine(CsvWriter& writer, ColumnSet columns) {
    writeString(writer, headerLineText(columns));
    writeString(writer, "\r\n");
}

namespace {

// Four u64 with commas, a u32, the quote and comma before and CR LF after.
constexpr size_t valueColumnsRoom =
    2 + 4 * (maxDigitsU64 + 1) + std::max(decimalStoreWidth, maxDigitsU32) + 2;

// Formatted at out, which has valueColumnsRoom bytes; returns the end of the text. A short number stores
// up to decimalStoreWidth bytes, which stays within the room: each date or size column has the room of a
// 20-digit number, and the attributes, last, the room of the wider of the two.
char* putValueColumns(char* out, const RowValues& values) {
    *out++ = '"';
    *out++ = ',';
    for (uint64_t value : {values.size, values.dateCreated, values.dateModified, values.dateAccessed}) {
        out = writeDecimal(out, value);
        *out++ = ',';
    }
    out = writeDecimal(out, values.attributes);
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

}  // namespace

void writeValueColumns(CsvWriter& writer, const RowValues& values) {
    char* start = reserveSpace(writer, valueColumnsRoom);
    commitSpace(writer, static_cast<size_t>(putValueColumns(start, values) - start));
}

namespace {

// Room for the quote, the parent's path and `nameLength` more bytes in one block of the writer's buffer,
// with the quote and the path filled in; `total` is the block's size. Null when the path cannot be built
// or the block does not fit: the caller then writes the pieces one by one.
char* reserveOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, size_t nameLength,
                     size_t& total) {
    std::optional<std::string_view> path = builtFolderPath(table, parent);
    if (!path) return nullptr;
    total = 1 + path->size() + nameLength;
    char* out = reserveSpace(writer, total);
    if (out == nullptr) return nullptr;
    *out = '"';
    if (!path->empty()) std::memcpy(out + 1, path->data(), path->size());
    return out;
}

}  // namespace

void writeVisibleName(CsvWriter& writer, FolderNames& names, uint32_t folder) {
    uint32_t length = names.names[folder].visibleLength;
    if (char* out = reserveSpace(writer, length)) {
        copyVisibleName(names, folder, out);
        commitSpace(writer, length);
        return;
    }
    // Longer than the writer's buffer: gather the runs from the last, then write them first to last.
    std::vector<std::string_view>& pieces = names.pieces;
    pieces.clear();
    uint32_t end = length;
    for (uint32_t at = names.names[folder].shownFolder; end > 0; at = names.names[at].prefixFolder) {
        const FolderName& holder = names.names[at];
        pieces.emplace_back(holder.run, end - holder.runStart);
        end = holder.runStart;
    }
    for (size_t k = pieces.size(); k > 0; --k) writeString(writer, pieces[k - 1]);
}

void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder) {
    if (folder == noFolder) return;
    const FolderEntry& entry = table.entries[folder];
    if (entry.path != nullptr) {
        writeBytes(writer, entry.path, entry.pathLength);
        return;
    }
    writeString(writer, buildFolderPath(table, folder));
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

namespace {

void writeQlxHeader(RowOutput& output, ColumnSet columns) { writeHeaderLine(*output.writer, columns); }

void writeQlxEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    CsvWriter& writer = *rowOutput(sink).writer;
    bool folder = entry.kind == EntryKind::folder;
    if (entry.values == nullptr) {
        // The versions without values: the rows of the two-column list.
        if (folder) {
            writeFolderRow(writer, table, entry.folder);
        } else {
            writeFileRow(writer, table, entry.folder, entry.name);
        }
        return;
    }
    // The whole row in one block of the writer's buffer where it can be.
    uint32_t parent = folder ? table.entries[entry.folder].parent : entry.folder;
    size_t nameLength = folder ? table.names.names[entry.folder].visibleLength : entry.name.size();
    size_t total = 0;
    if (char* out = reserveOpening(writer, table, parent, nameLength + valueColumnsRoom, total)) {
        char* name = out + total - valueColumnsRoom - nameLength;
        if (folder) {
            copyVisibleName(table.names, entry.folder, name);
        } else if (nameLength > 0) {
            std::memcpy(name, entry.name.data(), nameLength);
        }
        commitSpace(writer, static_cast<size_t>(putValueColumns(name + nameLength, *entry.values) - out));
        return;
    }
    if (folder) {
        writeFolderRowOpening(writer, table, entry.folder);
    } else {
        writeRowOpening(writer, table, entry.folder, entry.name);
    }
    writeValueColumns(writer, *entry.values);
}

}  // namespace

const OutputFormat qlxOutput = {"qlx", writeQlxHeader, writeQlxEntry};

}  // namespace catadump
