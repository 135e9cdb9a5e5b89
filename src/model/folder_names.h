// Front-coded names, and the folder names as the folder table keeps them.
//
// Front coding lets a database of n records of a few bytes describe names whose lengths add up to n²/2,
// so a folder's name is never stored whole unless that is cheap. A name keeps only the bytes it adds, in
// one run, and borrows the bytes before them from the name that holds them. A name whose bytes would be
// spread over too many short runs is stored whole instead, so that writing any name costs about its
// length, while the bytes stored stay within a small multiple of the bytes read.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace catadump {

inline constexpr uint32_t noFolder = 0xFFFFFFFF;  // a root folder's parent; a file without folder

// Storage that never moves what it has handed out, so names can point into it.
// Where names and paths are kept: blocks of 2 MiB, each aligned so that it can be one large page, and
// long texts in memory of their own.
struct ArenaBlockDelete {
    void operator()(char* block) const;
};

struct TextArena {
    std::vector<std::unique_ptr<char[], ArenaBlockDelete>> blocks;
    std::vector<std::unique_ptr<char[]>> longTexts;
    char* next = nullptr;
    size_t left = 0;
    size_t stored = 0;  // bytes handed out
};

char* allocateText(TextArena& arena, size_t n);

// ---- Front-coded names ----

// The previous name of one list; empty at the start of each list.
struct NameState {
    std::string name;            // every byte of the name decoded last
    size_t kept = 0;             // how many of them it kept from the name before it
    size_t visible = 0;          // bytes before its first zero byte
    uint32_t folder = noFolder;  // folder lists: the folder that took the name
};

// How many bytes come before the first zero byte (all of them when there is none).
inline size_t firstZero(std::string_view bytes) {
    const void* zero = bytes.empty() ? nullptr : std::memchr(bytes.data(), 0, bytes.size());
    return zero == nullptr ? bytes.size()
                           : static_cast<size_t>(static_cast<const char*>(zero) - bytes.data());
}

// The bytes of the name decoded last that rows show: those before its first zero byte.
inline std::string_view visibleName(const NameState& state) { return {state.name.data(), state.visible}; }

// ---- Folder names ----

// A folder's name: bytes [runStart, length) lie side by side at `run`, bytes [0, runStart) are those of
// the name of folder `prefixFolder`.
struct FolderName {
    const char* run = nullptr;
    uint32_t length = 0;         // every decoded byte
    uint32_t visibleLength = 0;  // up to the first zero byte: what rows and paths show
    uint32_t runStart = 0;
    uint32_t prefixFolder = noFolder;  // holds bytes [0, runStart); its own runStart is lower
    uint32_t shownFolder = noFolder;   // this folder or one up its prefixes: holds the last visible byte
    uint32_t runs = 1;                 // the runs that make up the whole name
};

struct FolderNames {
    std::vector<FolderName> names;  // one per folder, by folder index
    TextArena text;
    std::vector<std::string_view> pieces;  // a long name's runs, gathered to write them in order
};

// Gives `folder` the name decoded last into state (a folder list), front-coded against the list's
// previous folder; the folder becomes that previous folder.
void storeDecodedFolderName(FolderNames& names, uint32_t folder, NameState& state);

// Gives `folder` a whole name that is held elsewhere and stays while the names are used; it is not
// copied, and no list's state changes.
void setFolderNameBytes(FolderNames& names, uint32_t folder, std::string_view bytes);

// Copies the visible bytes of the folder's name to `out`, which has room for visibleLength bytes.
void copyVisibleName(const FolderNames& names, uint32_t folder, char* out);

}  // namespace catadump
