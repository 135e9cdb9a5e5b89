// QRTb (1.7 family) databases for the reader tests, described as a tree of records and laid out byte by
// byte the way each of the four versions stores them, together with the console lines such a database
// prints. Tests write the expected rows themselves; this file only saves them from spelling out the
// header, the filesystem table and the front coding of every name.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "catagen/encoding.h"
#include "readers/folder_rows.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {

inline constexpr char filler = 'X';  // skipped bytes; read by mistake they make an invalid count or parent

using Values = RowValues;  // the five value columns, as stored and as shown

// One folder or file record.
struct Record {
    uint32_t parent = 0;  // a folder's hierarchy reference, or a file's parent reference
    // The whole name, stored front-coded against the previous name of its list with the longest common
    // prefix; or, when `strip` is set, the suffix to store after that strip count. An empty name is stored
    // as suffix length 0, which repeats the previous name.
    std::string name = {};
    std::optional<uint32_t> strip = std::nullopt;
    bool longCounts = false;  // suffix length and strip count in the 255 + u32 form
    uint8_t recordFlags = 0;  // the byte before the name under a type-1 filesystem
    uint32_t optional = 0;    // bytes after the name under a type-1 filesystem, 1.7.5 and 1.7.8 only
    Values values = {};       // 1.7.17 and 1.7.20: stored as the flags word selects
};

struct Filesystem {
    Filesystem(uint32_t t, bool longForm = false) : type(t), longType(longForm) {}
    uint32_t type;
    bool longType;  // the type in the 255 + u32 form
};

struct Tree {
    uint32_t flags = 0;
    std::vector<Filesystem> filesystems = {{2}};
    std::vector<Record> folders;
    std::vector<Record> files;
    std::optional<uint32_t> declaredFolders;  // header counts, when they are not the number of records
    std::optional<uint32_t> declaredFiles;
    uint32_t decodeSize = 0;   // 1.7.5
    uint32_t ntfsFolders = 0;  // 1.7.5 and 1.7.8: length of the NTFS folder list after the hierarchy
    std::optional<uint32_t> declaredNtfsFolders;  // its stored count, when that is not ntfsFolders
    uint8_t excludeFlags = 0;  // 1.7.17 and 1.7.20

    uint32_t folderCount() const { return declaredFolders.value_or(static_cast<uint32_t>(folders.size())); }
    uint32_t fileCount() const { return declaredFiles.value_or(static_cast<uint32_t>(files.size())); }
};

// The database bytes and where its parts end, for cutting it short on purpose.
struct Layout {
    std::string bytes;
    size_t recordsStart = 0;          // the first folder record (or file record when there are no folders)
    std::vector<size_t> folderEnds;   // one past the last byte of each folder record
    std::vector<size_t> fileEnds;
};

inline constexpr uint32_t unknownType = 0xFFFFFFFF;

// The type of the filesystem at the top of a folder's chain; unknownType when the chain loops.
inline uint32_t folderFilesystemType(const Tree& tree, uint32_t folder) {
    uint32_t count = tree.folderCount();
    uint32_t reference = tree.folders[folder].parent;
    for (size_t steps = 0; reference < count && steps <= tree.folders.size(); ++steps) {
        if (reference >= tree.folders.size()) return unknownType;
        reference = tree.folders[reference].parent;
    }
    if (reference < count) return unknownType;
    uint32_t index = reference - count;
    return index < tree.filesystems.size() ? tree.filesystems[index].type : unknownType;
}

inline uint32_t fileFilesystemType(const Tree& tree, const Record& file) {
    uint32_t count = tree.folderCount();
    if (file.parent < count) return file.parent < tree.folders.size() ? folderFilesystemType(tree, file.parent) : unknownType;
    uint32_t index = file.parent - count;
    return index < tree.filesystems.size() ? tree.filesystems[index].type : unknownType;
}

// Writes the record's name front-coded against `previous` and makes it the previous name.
inline void putName(DbBuilder& b, const Record& record, std::string& previous) {
    auto count = [&b, &record](size_t value) {
        if (record.longCounts) {
            b.compactLong(static_cast<uint32_t>(value));
        } else {
            b.compact(static_cast<uint32_t>(value));
        }
    };
    if (record.strip) {
        count(record.name.size());
        if (record.name.empty()) return;  // suffix length 0: no strip count follows
        count(*record.strip);
        b.raw(record.name);
        if (*record.strip <= previous.size()) previous.resize(previous.size() - *record.strip);
        previous += record.name;
        return;
    }
    if (record.name.empty() || record.name == previous) {
        count(0);  // suffix length 0: the previous name again
        return;
    }
    catagen::FrontCode coded = catagen::frontCode(previous, record.name);  // as the generator codes it
    count(coded.suffixLength);
    count(coded.stripCount);
    b.raw(coded.suffix);
    previous = record.name;
}

inline void putFilesystem(DbBuilder& b, const Filesystem& fs, bool late) {
    if (fs.longType) {
        b.compactLong(fs.type);
    } else {
        b.compact(fs.type);
    }
    if (late) {
        b.u8(0);  // out of date
        switch (fs.type) {
        case 0: b.str("{0}").str("C:\\").str("C:\\").str("").u64(0x11).u64(0x22); break;
        case 1: b.str("plain").u64(0x44); break;
        case 2: b.str("D:\\data").u64(0x33); break;
        case 3: b.str("a").str("b").str("c").str("d").u64(1).u64(2); break;
        default: break;
        }
        return;
    }
    switch (fs.type) {
    case 0: b.str("{0}").str("C:\\").str("").u32(7).u8(1).u64(0x11).u64(0x22); break;
    case 1: b.str("plain"); break;
    case 2: b.str("D:\\data").u8(0).u8(1).u32(5).u64(0x33); break;
    default: break;
    }
}

// The value fields of a record, in their stored order; `sizeFlag` is 0x20 for folders and 0x01 for files.
inline void putValues(DbBuilder& b, uint32_t flags, uint32_t sizeFlag, const Values& values) {
    if (flags & sizeFlag) b.u64(values.size);
    if (flags & 0x02) b.u64(values.dateCreated);
    if (flags & 0x04) b.u64(values.dateModified);
    if (flags & 0x08) b.u64(values.dateAccessed);
    if (flags & 0x10) b.u32(values.attributes);
}

// Everything up to the first record: header, filesystem table, exclude flags, blob lists, hierarchy and
// (1.7.5, 1.7.8) the NTFS folder list.
// The header, the filesystem table and (1.7.17, 1.7.20) the exclude flags byte.
inline DbBuilder bodyHead(const Tree& tree, Version v) {
    DbBuilder b;
    b.header("QRTb", versionWord(1, 7, buildOf(v))).u32(tree.flags).u32(tree.folderCount()).u32(tree.fileCount());
    if (v == Version::v1_7_5) b.u32(tree.decodeSize);
    b.compact(static_cast<uint32_t>(tree.filesystems.size()));
    for (const Filesystem& fs : tree.filesystems) putFilesystem(b, fs, isLate(v));
    if (isLate(v)) b.u8(tree.excludeFlags);
    return b;
}

inline DbBuilder bodyStart(const Tree& tree, Version v) {
    bool late = isLate(v);
    DbBuilder b = bodyHead(tree, v);
    b.blobList({{1, "exclude"}}).blobList({}).blobList({{2, std::string(300, 'b')}, {3, "", true}});
    if (tree.folderCount() == 0) return b;
    for (const Record& folder : tree.folders) b.u32(folder.parent);
    if (!late) {
        b.u32(tree.declaredNtfsFolders.value_or(tree.ntfsFolders));
        for (uint32_t i = 0; i < tree.ntfsFolders; ++i) b.u32(i);
    }
    return b;
}

inline Layout layOut(const Tree& tree, Version v) {
    bool late = isLate(v);
    DbBuilder b = bodyStart(tree, v);
    Layout layout;
    layout.recordsStart = b.size();
    std::string previous;
    for (uint32_t i = 0; i < tree.folders.size() && tree.folderCount() > 0; ++i) {
        const Record& folder = tree.folders[i];
        uint32_t type = folderFilesystemType(tree, i);
        if (type == 1) b.u8(folder.recordFlags);
        putName(b, folder, previous);
        if (late) putValues(b, tree.flags, 0x20, folder.values);
        if (type == 0) b.repeat(8, filler);
        if (type == 1 && !late) b.repeat(folder.optional, filler);
        if (type == 3 && late) b.repeat(16, filler);
        layout.folderEnds.push_back(b.size());
    }
    previous.clear();
    for (const Record& file : tree.files) {
        uint32_t type = fileFilesystemType(tree, file);
        b.u32(file.parent);
        if (type == 1) b.u8(file.recordFlags);
        putName(b, file, previous);
        if (late) putValues(b, tree.flags, 0x01, file.values);
        if (type == 1 && !late) b.repeat(file.optional, filler);
        layout.fileEnds.push_back(b.size());
    }
    layout.bytes = b.bytes();
    return layout;
}

inline std::string database(const Tree& tree, Version v) { return layOut(tree, v).bytes; }

// ---- Console lines ----

inline std::string printed(const char* pattern, auto... arguments) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, arguments...);
    return text;
}

// The lines of the filesystem table that bodyStart writes.
inline std::string filesystemLines(const Tree& tree, Version v) {
    std::string text = printed("filesystem count: %d\n", static_cast<int>(tree.filesystems.size()));
    int i = 0;
    for (const Filesystem& fs : tree.filesystems) {
        int type = static_cast<int>(fs.type);
        if (!isLate(v)) {
            if (fs.type > 2) text += printed("bad filesystem type %d\n", type);
            ++i;
            continue;
        }
        text += printed("filesystem %d: type %d\n", i, type) + printed("filesystem %d: out of date 0\n", i);
        if (fs.type == 0) {
            text += printed("filesystem %d: NTFS: guid: {0}\n", i) + printed("filesystem %d: NTFS: path: C:\\\n", i) +
                    printed("filesystem %d: NTFS: root: C:\\\n", i) + printed("filesystem %d: NTFS: include only: \n", i) +
                    printed("filesystem %d: NTFS: USN Journal ID: 0000000000000011\n", i) +
                    printed("filesystem %d: NTFS: Next USN: 0000000000000022\n", i);
        } else if (fs.type == 2) {
            text += printed("filesystem %d: FOLDER: path: D:\\data\n", i) +
                    printed("filesystem %d: FOLDER: next update: 0000000000000033\n", i);
        } else if (fs.type > 3) {
            text += printed("bad filesystem type %d\n", type);
        }
        ++i;
    }
    return text;
}

// What the dispatch and the reader print up to the end of the blob lists.
inline std::string consoleStart(const Tree& tree, Version v) {
    std::string text = "Magic QRTb\n" + printed("Version 1.7.%u\n", buildOf(v)) + printed("flags %08x\n", tree.flags);
    if (tree.flags & 0x02) text += "hidden files and folders exluded\n";
    if (tree.flags & 0x04) text += "system files and folders exluded\n";
    text += printed("number of folders: %d\n", static_cast<int>(tree.folderCount()));
    text += printed("number of files: %d\n", static_cast<int>(tree.fileCount()));
    if (v == Version::v1_7_5) text += printed("decode size: %d (ignored)\n", static_cast<int>(tree.decodeSize));
    text += filesystemLines(tree, v);
    if (isLate(v)) text += printed("Exclude flags %02x\n", tree.excludeFlags);
    return text;
}

// The folder part's progress lines up to the first folder record.
inline std::string folderPartLines(const Tree& tree, Version v) {
    std::string text = "Loading Hierarchy...\n";
    if (!isLate(v)) {
        text += printed("NTFS folder count: %d\n", static_cast<int>(tree.declaredNtfsFolders.value_or(tree.ntfsFolders)));
    }
    return text + "Loading folders...\n";
}

// The console of a run that reads every record.
inline std::string completeConsole(const Tree& tree, Version v) {
    std::string text = consoleStart(tree, v);
    if (tree.folderCount() > 0) text += folderPartLines(tree, v);
    return text + "Loading files...\nConversion complete!\n";
}

// ---- Rows ----

// The closing of a row after the name: ",16" / ",0" in 1.7.5 and 1.7.8, the five value columns in 1.7.17
// and 1.7.20 (the values as the test expects them to be shown).
inline std::string closing(Version v, bool folder, const Values& shown) {
    if (!isLate(v)) return folder ? "\",16\r\n" : "\",0\r\n";
    return printed("\",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%u\r\n", shown.size, shown.dateCreated,
                  shown.dateModified, shown.dateAccessed, shown.attributes);
}

// ---- A small database with every kind of record ----

// Eight folders and seven files over one filesystem of each type (type 3 is known to the late table only;
// the early table reports it and reads on). It holds a folder whose parent comes later and a child of that
// folder, front coding with stripped, repeated and long-form counts, type-1 record flags with their
// optional bytes, a file directly under a filesystem, and a name with a quote and a comma.
inline Tree richTree(Version v) {
    Tree t;
    t.flags = isLate(v) ? 0x3F : 0x06;
    t.filesystems = {{0}, {1}, {2}, {3}};  // referenced as 8, 9, 10 and 11
    t.decodeSize = 77;
    t.ntfsFolders = 2;
    t.folders = {
        {.parent = 8, .name = "Users"},
        {.parent = 0, .name = "alice"},
        {.parent = 5, .name = "zeta"},
        {.parent = 2, .name = "deep"},
        {.parent = 9, .name = "pics", .recordFlags = 0x0F, .optional = 20},
        {.parent = 10, .name = "top", .longCounts = true},
        {.parent = 1, .name = "old"},
        {.parent = 11, .name = "misc"},
    };
    t.files = {
        {.parent = 6, .name = "a.txt"},
        {.parent = 9, .name = "b.txt", .recordFlags = 0x0F, .optional = 28},
        {.parent = 3, .name = "readme"},
        {.parent = 4, .name = "c", .recordFlags = 0x01, .optional = 4},
        {.parent = 7, .name = "c"},
        {.parent = 5, .name = "end", .longCounts = true},
        {.parent = 11, .name = "n\"o,te"},
    };
    for (uint32_t i = 0; i < t.folders.size(); ++i) t.folders[i].values = {1000 + i, 2000 + i, 3000 + i, 4000 + i, 0x10 | i};
    for (uint32_t i = 0; i < t.files.size(); ++i) t.files[i].values = {5000 + i, 6000 + i, 7000 + i, 8000 + i, 0x20 | i};
    return t;
}

inline const std::vector<std::string> richFolderPaths = {
    "Users", "Users\\alice", "top\\zeta", "top\\zeta\\deep", "pics", "top", "Users\\alice\\old", "misc",
};
inline const std::vector<std::string> richFilePaths = {
    "Users\\alice\\old\\a.txt", "b.txt", "top\\zeta\\deep\\readme", "pics\\c", "misc\\c", "top\\end", "n\"o,te",
};

// The rows of the rich tree: every value stored, so every value shown.
inline std::vector<std::string> richFolderRows(Version v) {
    Tree t = richTree(v);
    std::vector<std::string> rows;
    for (size_t i = 0; i < t.folders.size(); ++i) rows.push_back("\"" + richFolderPaths[i] + closing(v, true, t.folders[i].values));
    return rows;
}
inline std::vector<std::string> richFileRows(Version v) {
    Tree t = richTree(v);
    std::vector<std::string> rows;
    for (size_t i = 0; i < t.files.size(); ++i) rows.push_back("\"" + richFilePaths[i] + closing(v, false, t.files[i].values));
    return rows;
}

// ---- Running the program ----

// The reader's part of the console: what follows the dispatch's "Magic" and "Version" lines.
inline std::string readerLines(std::string_view console) {
    for (int line = 0; line < 2; ++line) {
        size_t end = console.find('\n');
        if (end == std::string_view::npos) return std::string(console);
        console.remove_prefix(end + 1);
    }
    return std::string(console);
}

} // namespace catadump::test
