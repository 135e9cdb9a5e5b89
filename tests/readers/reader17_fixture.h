// QRTb (1.7 family) databases for the reader tests, described as a tree of records, malformed ones
// included, and written by the generator's encoder with what it cannot hold written over its fields at
// their marks. Tests write the expected rows and console lines themselves; this file only saves them from
// spelling out the header, the filesystem table and the front coding of every name.
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
#include "model/entry.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
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
    uint8_t excludeFlags = 0;                     // 1.7.17 and 1.7.20

    uint32_t folderCount() const { return declaredFolders.value_or(static_cast<uint32_t>(folders.size())); }
    uint32_t fileCount() const { return declaredFiles.value_or(static_cast<uint32_t>(files.size())); }
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
    if (file.parent < count)
        return file.parent < tree.folders.size() ? folderFilesystemType(tree, file.parent) : unknownType;
    uint32_t index = file.parent - count;
    return index < tree.filesystems.size() ? tree.filesystems[index].type : unknownType;
}

// ---- Writing a tree ----

// The front-coded name field of a record, as `Record` describes it; makes the name the previous one.
inline std::string nameField(const Record& record, std::string& previous) {
    auto count = [&record](size_t value) {
        return countBytes(static_cast<uint32_t>(value), record.longCounts);
    };
    if (record.strip) {
        std::string bytes = count(record.name.size());
        if (record.name.empty()) return bytes;  // suffix length 0: no strip count follows
        bytes += count(*record.strip) + record.name;
        if (*record.strip <= previous.size()) previous.resize(previous.size() - *record.strip);
        previous += record.name;
        return bytes;
    }
    if (record.name.empty() || record.name == previous) return count(0);  // the previous name again
    catagen::FrontCode coded = catagen::frontCode(previous, record.name);
    std::string bytes = count(coded.suffixLength) + count(coded.stripCount) + std::string(coded.suffix);
    previous = record.name;
    return bytes;
}

// The extra bytes a record carries for the filesystem at the top of its chain: type 0 an 8-byte number,
// type 1 a flag byte (and in 1.7.5 and 1.7.8 the fields it announces), type 3 of the late table 16 bytes;
// a file record only the flag byte and the announced fields. Every other type, and a chain that loops,
// adds nothing, which is what the generator writes for type 2.
inline uint32_t recordShape(uint32_t type, Version v) {
    if (type == 0 || type == 1 || (type == 3 && isLate(v))) return type;
    return 2;
}

// The entry the generator writes for a filesystem of a type it knows: type, path, guid, root, include
// only, out of date, the two early flag bytes, serial, journal and next update.
inline catagen::Filesystem standardFilesystem(uint32_t type, Version v) {
    switch (type) {
    case 0:
        return {0, "C:\\", "{0}", isLate(v) ? "C:\\" : "", "", 0, 1, 0, 7, 0x11, 0x22};
    case 1:
        return {1, "plain", "", "", "", 0, 0, 0, 0, 0, 0x44};
    case 2:
        return {2, "D:\\data", "", "", "", 0, 0, 1, 5, 0, 0x33};
    default:
        return {3, "b", "a", "c", "d", 0, 0, 0, 0, 1, 2};
    }
}

// The database bytes, and where its blob lists and its first folder record (or file record) begin.
struct Written {
    std::string bytes;
    size_t blobListsStart = 0;
    size_t recordsStart = 0;
};

// The generator writes the frame: the header, the filesystem table, the exclude flags, the blob lists,
// the hierarchy and each record's value fields and extra bytes. Its records are stand-ins, every folder
// and file named "n" directly under a filesystem of the shape the description's record has. Written
// over at the generator's marks: every parent reference, name field and extra byte (filled with
// `filler`), the header counts, the NTFS folder list, and the entries of types the generator does not
// write; filesystems added only to give a shape are cut out of the table again.
inline Written write(const Tree& tree, Version v) {
    const bool late = isLate(v);
    const bool withFolders = tree.folderCount() > 0;
    catagen::Tree frame;
    frame.settings.flags = tree.flags;
    frame.settings.excludeFlags = tree.excludeFlags;
    frame.settings.blobLists[0] = {{1, "exclude"}};
    frame.settings.blobLists[2] = {{2, std::string(300, 'b')}, {3, ""}};  // "": its length in the long form
    std::optional<uint32_t> shapeOwner[4];
    for (const Filesystem& fs : tree.filesystems) {
        bool known = fs.type <= (late ? 3u : 2u);
        frame.filesystems.push_back(standardFilesystem(known ? fs.type : 2, v));
        std::optional<uint32_t>& owner = shapeOwner[recordShape(fs.type, v)];
        if (known && !owner) owner = static_cast<uint32_t>(frame.filesystems.size() - 1);
    }
    auto onShape = [&](uint32_t type) {
        std::optional<uint32_t>& owner = shapeOwner[recordShape(type, v)];
        if (!owner) {
            owner = static_cast<uint32_t>(frame.filesystems.size());
            frame.filesystems.push_back(standardFilesystem(recordShape(type, v), v));
        }
        return *owner;
    };
    auto standIn = [&](const Record& record, uint32_t type) {
        catagen::Entry entry{.name = "n", .filesystem = onShape(type), .values = {}};
        entry.values = {record.values.size,         record.values.dateCreated, record.values.dateModified,
                        record.values.dateAccessed, record.values.attributes,  record.recordFlags};
        return entry;
    };
    for (uint32_t i = 0; i < tree.folders.size() && withFolders; ++i)
        frame.folders.push_back(standIn(tree.folders[i], folderFilesystemType(tree, i)));
    for (const Record& file : tree.files)
        frame.files.push_back(standIn(file, fileFilesystemType(tree, file)));

    MarkedDatabase db = encodeMarked(frame, v);
    const catagen::EncodeMarks& marks = db.marks;
    std::vector<Patch> patches;
    auto setU32 = [&patches](uint64_t at, uint32_t value) { patches.push_back({at, 4, u32Bytes(value)}); };
    setU32(marks.folderCount, tree.folderCount());
    setU32(marks.fileCount, tree.fileCount());
    if (marks.folderDecodeSize) setU32(*marks.folderDecodeSize, tree.decodeSize);
    uint64_t filesystemCount = marks.fileCount + (v == Version::v1_7_5 ? 8 : 4);
    patches.push_back({filesystemCount, 1, countBytes(static_cast<uint32_t>(tree.filesystems.size()))});
    for (size_t k = 0; k < frame.filesystems.size(); ++k) {
        uint64_t at = marks.filesystems[k], end = marks.filesystems[k + 1];
        if (k >= tree.filesystems.size()) {
            patches.push_back({at, end - at, ""});
        } else if (const Filesystem& fs = tree.filesystems[k]; frame.filesystems[k].type != fs.type) {
            patches.push_back({at, end - at, countBytes(fs.type, fs.longType)});
        } else if (fs.longType) {
            patches.push_back({at, 1, countBytes(fs.type, true)});
        }
    }
    uint64_t blobListsEnd = frame.folders.empty() ? marks.folderRecordsStart : marks.folders[0].parent;
    patches.push_back({blobListsEnd - 1, 1, countBytes(0, true)});
    if (withFolders && !late) {
        std::string list = u32Bytes(tree.declaredNtfsFolders.value_or(tree.ntfsFolders));
        for (uint32_t i = 0; i < tree.ntfsFolders; ++i) list += u32Bytes(i);
        uint64_t at = frame.folders.empty() ? marks.folderRecordsStart : marks.folders.back().parent + 4;
        patches.push_back({at, marks.folderRecordsStart - at, list});
    }
    // A record's name, which the stand-in wrote as "n" (three bytes) or, after the first, as a repeat (one),
    // then its extra bytes.
    auto rewrite = [&](const catagen::EncodeMarks::Record& at, const Record& record, uint32_t type,
                       bool folder, bool first, std::string& previous) {
        uint64_t nameEnd = at.name + (first ? 3 : 1);
        patches.push_back({at.name, nameEnd - at.name, nameField(record, previous)});
        uint32_t shape = recordShape(type, v);
        if (shape == 1 && !late)
            patches.push_back({nameEnd, at.end - nameEnd, std::string(record.optional, filler)});
        uint64_t extra = !folder ? 0 : shape == 0 ? 8 : shape == 3 ? 16 : 0;
        if (extra > 0) patches.push_back({at.end - extra, extra, std::string(extra, filler)});
    };
    std::string previous;
    for (uint32_t i = 0; i < frame.folders.size(); ++i) {
        setU32(marks.folders[i].parent, tree.folders[i].parent);
        rewrite(marks.folders[i], tree.folders[i], folderFilesystemType(tree, i), true, i == 0, previous);
    }
    previous.clear();
    for (size_t j = 0; j < tree.files.size(); ++j) {
        setU32(marks.files[j].parent, tree.files[j].parent);
        rewrite(marks.files[j], tree.files[j], fileFilesystemType(tree, tree.files[j]), false, j == 0,
                previous);
    }

    Written written;
    written.blobListsStart = patchedPosition(marks.filesystems.back() + (late ? 1 : 0), patches);
    written.recordsStart = patchedPosition(marks.folderRecordsStart, patches);
    written.bytes = applyPatches(std::move(db.bytes), std::move(patches));
    return written;
}

inline std::string database(const Tree& tree, Version v) { return write(tree, v).bytes; }

// Everything before the first record; and everything before the blob lists (the header, the filesystem
// table and, in 1.7.17 and 1.7.20, the exclude flags byte).
inline DbBuilder bodyStart(const Tree& tree, Version v) {
    Written written = write(tree, v);
    return DbBuilder().raw(std::string_view(written.bytes).substr(0, written.recordsStart));
}
inline DbBuilder bodyHead(const Tree& tree, Version v) {
    Written written = write(tree, v);
    return DbBuilder().raw(std::string_view(written.bytes).substr(0, written.blobListsStart));
}

// ---- Console lines ----

// What a run that reads every record prints from "Loading Hierarchy..." on; 1.7.5 and 1.7.8 count their
// NTFS folder list.
inline std::string recordLines(Version v, int ntfsFolders = 0) {
    std::string ntfs = isLate(v) ? "" : "NTFS folder count: " + std::to_string(ntfsFolders) + "\n";
    return "Loading Hierarchy...\n" + ntfs + "Loading folders...\nLoading files...\nConversion complete!\n";
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
    for (uint32_t i = 0; i < t.folders.size(); ++i)
        t.folders[i].values = {1000 + i, 2000 + i, 3000 + i, 4000 + i, 0x10 | i};
    for (uint32_t i = 0; i < t.files.size(); ++i)
        t.files[i].values = {5000 + i, 6000 + i, 7000 + i, 8000 + i, 0x20 | i};
    return t;
}

inline const std::vector<std::string> richFolderPaths = {
    "Users", "Users\\alice", "top\\zeta", "top\\zeta\\deep", "pics", "top", "Users\\alice\\old", "misc",
};
inline const std::vector<std::string> richFilePaths = {
    "Users\\alice\\old\\a.txt",
    "b.txt",
    "top\\zeta\\deep\\readme",
    "pics\\c",
    "misc\\c",
    "top\\end",
    "n\"o,te",
};

// The rows of the rich tree: every value stored, so every value shown.
inline std::vector<std::string> richFolderRows(Version v) {
    Tree t = richTree(v);
    std::vector<std::string> rows;
    for (size_t i = 0; i < t.folders.size(); ++i)
        rows.push_back("\"" + richFolderPaths[i] + closing(v, true, t.folders[i].values));
    return rows;
}
inline std::vector<std::string> richFileRows(Version v) {
    Tree t = richTree(v);
    std::vector<std::string> rows;
    for (size_t i = 0; i < t.files.size(); ++i)
        rows.push_back("\"" + richFilePaths[i] + closing(v, false, t.files[i].values));
    return rows;
}

}  // namespace catadump::test
