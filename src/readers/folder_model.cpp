#include "readers/folder_model.h"

#include <algorithm>
#include <cstring>

#include "stream/console.h"
#include "stream/field_encodings.h"

namespace catadump {

namespace {

constexpr size_t arenaBlockSize = size_t{1} << 20;

enum Visit : uint8_t { unvisited, onWalk, finished };

// Appends the pieces to the writer as one block when they fit in its buffer, one by one otherwise.
void writePieces(CsvWriter& writer, std::initializer_list<std::string_view> pieces) {
    size_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    if (char* out = reserveSpace(writer, total)) {
        for (std::string_view piece : pieces) {
            if (!piece.empty()) std::memcpy(out, piece.data(), piece.size());
            out += piece.size();
        }
        commitSpace(writer, total);
        return;
    }
    for (std::string_view piece : pieces) writeString(writer, piece);
}

std::string_view visibleName(const FolderEntry& entry) { return {entry.name, entry.visibleLength}; }

} // namespace

char* allocateText(TextArena& arena, size_t n) {
    if (n > arena.left) {
        // Long texts get a block of their own, so the shared block is not abandoned half-used for them.
        if (n > arenaBlockSize / 4) return arena.blocks.emplace_back(new char[n]).get();
        arena.next = arena.blocks.emplace_back(new char[arenaBlockSize]).get();
        arena.left = arenaBlockSize;
    }
    char* text = arena.next;
    arena.next += n;
    arena.left -= n;
    return text;
}

void setFolderName(FolderTable& table, FolderEntry& entry, std::string_view name) {
    if (table.lastName.data() == nullptr || name != table.lastName) {
        char* stored = allocateText(table.text, name.size() + 1);
        if (!name.empty()) std::memcpy(stored, name.data(), name.size());
        stored[name.size()] = '\0';
        table.lastName = {stored, name.size()};
    }
    entry.name = table.lastName.data();
    entry.nameLength = static_cast<uint32_t>(name.size());
    entry.visibleLength = static_cast<uint32_t>(visibleText(name).size());
}

bool decodeFrontCodedName(DatabaseStream& stream, NameState& state, NameList list, CountWidth width) {
    auto readCount = [&stream, width]() -> uint32_t {
        return width == CountWidth::compact ? readCompactCount(stream) : readU8(stream);
    };
    uint32_t suffixLength = readCount();
    if (suffixLength == 0) return true;  // the previous name again; no strip count follows
    uint32_t stripCount = readCount();
    size_t previousLength = state.name.size();
    if (stripCount > previousLength) {
        say(list == NameList::folders ? "Invalid folder code offset %d > %d.\n"
                                      : "Invalid file code offset %d > %d.\n",
            static_cast<int>(stripCount), static_cast<int>(previousLength));
        runFlags().corrupt = true;
        return false;
    }
    state.name.resize(previousLength - stripCount);
    size_t suffixStart = state.name.size();
    bool complete = readPieces(stream, suffixLength, [&state](const uint8_t* piece, size_t n) {
        state.name.append(reinterpret_cast<const char*>(piece), n);
    });
    // A suffix that could not be read counts as zeroes; the reader stops after this record.
    if (!complete) std::fill(state.name.begin() + static_cast<std::ptrdiff_t>(suffixStart), state.name.end(), '\0');
    return true;
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
    table.entries.assign(references.size(), FolderEntry{});
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

bool resolveRootFilesystems(FolderTable& table) {
    std::vector<FolderEntry>& entries = table.entries;
    std::vector<uint8_t> visit(entries.size(), unvisited);
    std::vector<uint32_t>& chain = table.chain;
    for (uint32_t i = 0; i < entries.size(); ++i) {
        chain.clear();
        uint32_t top = i;
        while (top < entries.size() && visit[top] == unvisited) {
            visit[top] = onWalk;
            chain.push_back(top);
            if (entries[top].parent == noFolder) break;
            top = entries[top].parent;
        }
        if (top >= entries.size() || (visit[top] == onWalk && entries[top].parent != noFolder)) {
            reportParentLoop(top);
            return false;
        }
        uint32_t root = entries[top].rootFilesystem;
        for (uint32_t folder : chain) {
            entries[folder].rootFilesystem = root;
            visit[folder] = finished;
        }
    }
    return true;
}

uint32_t findParentLoop(const FolderTable& table) {
    const std::vector<FolderEntry>& entries = table.entries;
    std::vector<uint8_t> visit(entries.size(), unvisited);
    std::vector<uint32_t> chain;
    for (uint32_t i = 0; i < entries.size(); ++i) {
        chain.clear();
        uint32_t folder = i;
        while (folder < entries.size() && visit[folder] == unvisited) {
            visit[folder] = onWalk;
            chain.push_back(folder);
            folder = entries[folder].parent;
        }
        if (folder < entries.size() && visit[folder] == onWalk) return folder;
        for (uint32_t visited : chain) visit[visited] = finished;
    }
    return noFolder;
}

void reportParentLoop(uint32_t folder) {
    say("folder %u is its own ancestor: its parent chain never reaches a root folder\n", folder);
    runFlags().corrupt = true;
}

std::vector<bool> completeChains(const FolderTable& table, uint32_t complete) {
    const std::vector<FolderEntry>& entries = table.entries;
    uint32_t count = std::min<uint32_t>(complete, static_cast<uint32_t>(entries.size()));
    std::vector<uint8_t> visit(count, unvisited);
    std::vector<bool> writable(count, false);
    std::vector<uint32_t> chain;
    for (uint32_t i = 0; i < count; ++i) {
        chain.clear();
        uint32_t folder = i;
        while (folder < count && visit[folder] == unvisited) {
            visit[folder] = onWalk;
            chain.push_back(folder);
            folder = entries[folder].parent;
        }
        // The chain ends at a root folder, at a folder already judged, or outside the complete records.
        bool good = folder == noFolder || (folder < count && visit[folder] == finished && writable[folder]);
        for (uint32_t visited : chain) {
            visit[visited] = finished;
            writable[visited] = good;
        }
    }
    return writable;
}

std::string_view folderPath(FolderTable& table, uint32_t folder) {
    std::vector<FolderEntry>& entries = table.entries;
    if (entries[folder].path != nullptr) return {entries[folder].path, entries[folder].pathLength};
    // Walk up to the nearest folder whose path is built (or past the root), then build downwards.
    std::vector<uint32_t>& chain = table.chain;
    chain.clear();
    uint32_t above = folder;
    while (above < entries.size() && entries[above].path == nullptr && chain.size() <= entries.size()) {
        chain.push_back(above);
        above = entries[above].parent;
    }
    std::string_view base;
    if (above < entries.size() && entries[above].path != nullptr) base = {entries[above].path, entries[above].pathLength};
    size_t k = chain.size();
    while (k > 0) {
        FolderEntry& entry = entries[chain[k - 1]];
        size_t length = base.size() + entry.visibleLength + 1;
        if (table.pathBytes + length > table.pathBudget) break;
        char* path = allocateText(table.text, length);
        if (!base.empty()) std::memcpy(path, base.data(), base.size());
        std::memcpy(path + base.size(), entry.name, entry.visibleLength);
        path[length - 1] = '\\';
        entry.path = path;
        entry.pathLength = static_cast<uint32_t>(length);
        table.pathBytes += length;
        base = {path, length};
        --k;
    }
    if (k == 0) return base;
    // The budget for kept paths is spent: compose the rest of this one for the moment.
    std::string& scratch = table.scratchPath;
    scratch.assign(base);
    for (; k > 0; --k) {
        scratch.append(visibleName(entries[chain[k - 1]]));
        scratch.push_back('\\');
    }
    return scratch;
}

void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder) {
    if (folder != noFolder) writeString(writer, folderPath(table, folder));
}

void writeFolderRow(CsvWriter& writer, FolderTable& table, uint32_t folder) {
    std::string_view path = folderPath(table, folder);
    writePieces(writer, {"\"", path.substr(0, path.size() - 1), "\",16\r\n"});
}

void writeFileRow(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view name) {
    std::string_view path = parent == noFolder ? std::string_view() : folderPath(table, parent);
    writePieces(writer, {"\"", path, visibleText(name), "\",0\r\n"});
}

void writeRowOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view name) {
    std::string_view path = parent == noFolder ? std::string_view() : folderPath(table, parent);
    writePieces(writer, {"\"", path, visibleText(name)});
}

void writeFolderRows(CsvWriter& writer, FolderTable& table, uint32_t complete, bool allRead) {
    forEachFolderToWrite(table, complete, allRead, [&](uint32_t folder) { writeFolderRow(writer, table, folder); });
}

} // namespace catadump
