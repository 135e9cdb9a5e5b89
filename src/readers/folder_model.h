// The folder model that every reader shares: the folder table, front-coded names, parent links and their
// checks, the full path of every folder, and the text of folder and file rows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "stream/csv_writer.h"
#include "stream/database_stream.h"

namespace catadump {

inline constexpr uint32_t noFolder = 0xFFFFFFFF;          // a root folder's parent; a file without folder
inline constexpr uint32_t unresolvedFolder = 0xFFFFFFFE;  // a parent that names no folder that was read

// Storage for names and paths that never moves what it has handed out, so entries can point into it.
struct TextArena {
    std::vector<std::unique_ptr<char[]>> blocks;
    char* next = nullptr;
    size_t left = 0;
};

char* allocateText(TextArena& arena, size_t n);

struct FolderEntry {
    const char* name = nullptr;  // the decoded bytes, zero bytes included, followed by a NUL
    const char* path = nullptr;  // full path with a backslash after each name, once it has been built
    uint32_t nameLength = 0;     // every decoded byte; the next name is front-coded against all of them
    uint32_t visibleLength = 0;  // up to the first zero byte: what rows and paths show
    uint32_t pathLength = 0;
    uint32_t rootFilesystem = 0;
    uint32_t parent = noFolder;  // index of the parent folder, or noFolder for a root folder
    uint32_t attributes = 0;
    uint64_t size = 0;
    uint64_t dateCreated = 0;
    uint64_t dateModified = 0;
    uint64_t dateAccessed = 0;
};

struct FolderTable {
    std::vector<FolderEntry> entries;
    TextArena text;
    size_t pathBytes = 0;       // bytes of built paths kept in the arena
    size_t pathBudget = size_t{64} << 20;
    std::string scratchPath;    // a path composed for the moment when the budget is spent
    std::vector<uint32_t> chain;
    std::string_view lastName;  // the name stored last, shared by the next folder when it is the same
};

// Stores a decoded name as entry's own name. A name equal to the one stored before it shares its bytes:
// a repeated name costs the database a byte or two, and must not cost a copy of the whole name here.
void setFolderName(FolderTable& table, FolderEntry& entry, std::string_view name);

// ---- Front-coded names ----

enum class NameList { folders, files };
enum class CountWidth { compact, byte };  // 1.7 family: compact counts; 1.6 family: single bytes

// The previous name of one list; empty at the start of each list.
struct NameState {
    std::string name;
};

// Decodes the next name of the list into state.name. False after an invalid strip count: the message has
// been printed and the corrupt flag raised.
bool decodeFrontCodedName(DatabaseStream& stream, NameState& state, NameList list, CountWidth width);

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

// The full path of a folder: each name from the top folder down to this one, each followed by "\".
std::string_view folderPath(FolderTable& table, uint32_t folder);

// Appends folderPath for the folder, or nothing for noFolder.
void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + path + name + "\",16\r\n"
void writeFolderRow(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + the parent folder's path + name + "\",0\r\n"
void writeFileRow(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view name);

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

// The opening of a row: the quote, the path of the parent folder (if any) and the visible name.
void writeRowOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view name);

} // namespace catadump
