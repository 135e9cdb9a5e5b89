// The tree that catagen writes: the filesystems of an index, its folders and its files, plus the
// database-wide settings that only reach the console of the converter. Every encoder and the expected-CSV
// writer read this one model; the two sources (a directory on disk, a seeded synthetic tree) fill it.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace catagen {

inline constexpr uint32_t kNoFolder = 0xFFFFFFFFu;

// Windows attribute bits used by the sources.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;

// One indexed volume or folder tree. Which strings and numbers reach the file depends on the layout:
// the 1.7 tables pick theirs by type, 1.6.7 writes path, guid and the journal numbers, and 1.6.6 turns
// filesystems whose path starts with a drive letter into its drive list.
struct Filesystem {
    uint32_t type = 2;  // 0 NTFS, 1, 2 FOLDER, 3 (late 1.7 tables only)
    std::string path;
    std::string guid;
    std::string root;
    std::string includeOnly;
    uint8_t outOfDate = 0;
    uint8_t flagA = 0;  // the two bytes of an early FOLDER entry, and the byte of an early NTFS entry
    uint8_t flagB = 0;
    uint32_t serial = 0;
    uint64_t journalId = 0;
    uint64_t nextUsn = 0;
};

// Values stored with a folder or file. Which of them reach a database is decided per version (the flags
// word of 1.7.17/1.7.20, the record flag byte of type-1 records in 1.7.5/1.7.8).
struct Values {
    uint64_t size = 0;
    uint64_t created = 0;  // Windows FILETIME: 100 ns ticks since 1601-01-01
    uint64_t modified = 0;
    uint64_t accessed = 0;
    uint32_t attributes = 0;
    uint8_t recordFlags = 0;  // written as the record flag byte when the item lives on a type-1 filesystem
};

// A folder or a file. It hangs from folder `parentFolder`, or, when that is kNoFolder, directly from
// filesystem `filesystem` (a root folder, or a file at the top of a 1.7 filesystem).
struct Entry {
    std::string name;  // 8-bit bytes, never empty, never a zero byte or a backslash
    uint32_t parentFolder = kNoFolder;
    uint32_t filesystem = 0;
    Values values;
};

struct BlobItem {
    uint8_t kind = 0;
    std::string bytes;
};

struct ExcludeEntry {
    uint32_t kind = 0;  // a u8 in 1.6.6, a compact count in 1.6.7; the converter skips it
    std::string text;
};

struct MountPoint {
    uint64_t frn = 0;
    uint32_t fsi = 0;
};

struct Settings {
    uint32_t flags = 0x3F;     // 1.7.17/1.7.20: which value fields the records carry
    uint8_t excludeFlags = 0;  // late 1.7 only
    std::vector<BlobItem> blobLists[3];
    std::vector<ExcludeEntry> excludes;   // 1.6 family
    std::vector<MountPoint> mountPoints;  // 1.6.7
};

// Files can be many millions, so a tree may produce them on demand instead of holding them: `produce`
// calls the visitor once per file, in file order, and must give the same files on every call. A visitor
// returns false to stop early.
using FileVisitor = std::function<bool(const Entry&)>;
struct FileProducer {
    uint32_t count = 0;
    std::function<void(const FileVisitor&)> produce;
};

struct Tree {
    Settings settings;
    std::vector<Filesystem> filesystems;
    std::vector<Entry> folders;
    std::vector<Entry> files;              // used when `producer` is empty
    std::optional<FileProducer> producer;  // files made on demand (large synthetic trees)
};

uint64_t fileCount(const Tree& tree);
void forEachFile(const Tree& tree, const FileVisitor& visit);

// The filesystem at the top of every folder's chain, or nothing when a parent index is out of range or
// a chain loops. Parents may come after their children.
std::optional<std::vector<uint32_t>> rootFilesystems(const Tree& tree);

// Full path of every folder: ancestors' names from the top down, joined by backslashes. With
// `rootsNamedByPath` a root folder is named by its filesystem's path, as 1.6.7 does.
// The tree must be free of loops (rootFilesystems succeeds).
std::vector<std::string> folderPaths(const Tree& tree, bool rootsNamedByPath);

// Cuts every folder and file name longer than `maxLength` (the 1.6 family stores at most 255 bytes), with
// one warning per name; files made on demand are cut as they are made. Returns the number of names cut
// among the folders and held files.
size_t limitNameLengths(Tree& tree, size_t maxLength, std::ostream& warnings);

// Copies a producer's files into `files`, for tests and small trees.
void materializeFiles(Tree& tree);

}  // namespace catagen
