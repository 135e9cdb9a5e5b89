// QWTB (1.6.6 and 1.6.7) databases for the reader tests, described as lists of folder and file records,
// malformed ones included, and written by the generator's encoder with what it cannot hold written over
// its fields at their marks. The description names parents by folder index; the layout turns that into
// the decode offset the version gives that folder. Tests spell out the rows and console lines they
// expect; this file only saves them from spelling out every byte of a body.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "catagen/encoding.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test::qwtb {

inline constexpr uint32_t noParent = 0xFFFFFFFF;

// Skipped fields are filled with this byte: read by mistake, it makes a huge count, an invalid parent
// offset or a strip count larger than any name here.
inline constexpr uint8_t filler = 0xA5;

// Where a record says its parent is: the decode offset of a folder of the description, or a raw value.
struct Parent {
    bool isFolder = false;
    uint32_t value = noParent;
};
inline Parent folder(uint32_t index) { return {true, index}; }
inline Parent offset(uint32_t raw) { return {false, raw}; }
inline Parent root() { return {false, noParent}; }

// The stored name field of a record: suffix length, strip count (only when the suffix length is not 0)
// and suffix, each count one byte.
inline std::string code(uint8_t suffixLength, uint8_t strip, std::string_view suffix) {
    std::string bytes{static_cast<char>(suffixLength)};
    if (suffixLength == 0) return bytes;
    bytes.push_back(static_cast<char>(strip));
    return bytes.append(suffix);
}
inline std::string repeatName() { return std::string(1, '\0'); }

// The name front-coded against the previous name of its list, as the generator codes it.
inline std::string frontCode(std::string_view previous, std::string_view name) {
    if (name == previous) return repeatName();
    if (name.empty()) throw std::invalid_argument("an empty name can only follow an empty name");
    catagen::FrontCode coded = catagen::frontCode(previous, name);
    if (coded.stripCount > 255 || coded.suffixLength > 255) {
        throw std::invalid_argument("name too far from the previous one");
    }
    return code(static_cast<uint8_t>(coded.suffixLength), static_cast<uint8_t>(coded.stripCount),
                coded.suffix);
}

struct FolderRecord {
    Parent parent = root();
    // The decoded name. 1.6.7 root folders have none: they take their file system's path.
    std::string name = {};
    uint32_t fileSystem = 0;  // 1.6.7 root folders: index into the file system list
    // The name field exactly as stored, when it is not the front coding of `name`; `name` must then be
    // what it decodes to (it sets the slot size and the next record's front coding).
    std::optional<std::string> stored = std::nullopt;
};

struct FileRecord {
    Parent parent = root();
    std::string name = {};
    std::optional<std::string> stored = std::nullopt;
};

struct Drive {
    uint8_t include = 1;  // any value but 0 includes the drive
    uint32_t serial = 0;
    uint64_t journal = 0;
    uint64_t nextUsn = 0;
};

struct FileSystem {
    uint32_t type = 0;
    std::string path;
    std::string guid;
    uint32_t serial = 0;
    uint64_t journal = 0;
    uint64_t nextUsn = 0;
};

struct Monitor {
    uint64_t frn = 0;
    uint32_t fsi = 0;
};

struct Exclude {
    uint32_t skipped = 0;  // one byte in 1.6.6, a compact count in 1.6.7
    std::string text;
    std::optional<uint32_t> declaredLength =
        std::nullopt;  // the stored text length, when it is not the text's
};

struct Body {
    Version version = Version::v1_6_6;
    uint32_t flags = 0;
    std::vector<FolderRecord> folders;
    std::vector<FileRecord> files;
    // Header fields; the counts and the folder decode size default to what the records add up to.
    std::optional<uint32_t> folderCount;
    std::optional<uint32_t> fileCount;
    std::optional<uint32_t> folderDecodeSize;
    uint32_t fileDecodeSize = 0;
    uint32_t maxFolderPath = 0;                   // 1.6.7
    uint32_t maxFilePath = 0;                     // 1.6.7
    std::array<std::optional<Drive>, 26> drives;  // 1.6.6
    std::vector<FileSystem> fileSystems;          // 1.6.7
    std::vector<Monitor> monitors;                // 1.6.7
    std::vector<Exclude> excludes;
    // The stored counts of the lists, when they are not the number of entries given.
    std::optional<uint32_t> fileSystemCount;
    std::optional<uint32_t> monitorCount;
    std::optional<uint32_t> excludeCount;
    bool longCounts = false;  // 1.6.7: the counts and lengths of the lists in the 255 + u32 form

    bool isRoot(size_t i) const { return !folders[i].parent.isFolder && folders[i].parent.value == noParent; }

    // The name a folder's row and its descendants' paths show: up to the first zero byte.
    std::string shownName(size_t i) const {
        std::string name = folders[i].name;
        if (version == Version::v1_6_7 && isRoot(i)) {
            uint32_t fs = folders[i].fileSystem;
            name = fs < fileSystems.size() ? fileSystems[fs].path : "";
        }
        return name.substr(0, name.find('\0'));
    }

    // 1.6.6: 14 + name length; 1.6.7: 13 + name length, or 17 + path length for a root folder. Name
    // lengths count every decoded byte; a path counts up to its first zero byte.
    uint32_t slotSize(size_t i) const {
        if (version == Version::v1_6_6) return 14 + static_cast<uint32_t>(folders[i].name.size());
        if (isRoot(i)) return 17 + static_cast<uint32_t>(shownName(i).size());
        return 13 + static_cast<uint32_t>(folders[i].name.size());
    }
    uint32_t offsetOf(size_t i) const {
        uint32_t sum = 0;
        for (size_t k = 0; k < i; ++k) sum += slotSize(k);
        return sum;
    }
    uint32_t decodedSize() const { return offsetOf(folders.size()); }
    uint32_t headerFolderCount() const { return folderCount.value_or(static_cast<uint32_t>(folders.size())); }
    uint32_t headerFileCount() const { return fileCount.value_or(static_cast<uint32_t>(files.size())); }
    uint32_t headerDecodeSize() const { return folderDecodeSize.value_or(decodedSize()); }

    uint32_t resolve(Parent p) const { return p.isFolder ? offsetOf(p.value) : p.value; }
};

// The database bytes and where its parts end, for cutting it short on purpose.
struct Layout {
    std::string bytes;
    size_t recordsStart = 0;         // the first folder record
    std::vector<size_t> folderEnds;  // one past the last byte of each folder record
};

// The generator writes the frame of the database: the header, the drive or file system list, the
// monitors, the excludes and the skipped fields of every record (filled with `filler`). Its records are
// stand-ins, each folder a root folder named "n" (1.6.7: on a file system whose path holds no zero byte),
// each file "n" in folder 0, whose parent and name fields are all written over from the description. So
// are the fields a generator tree cannot hold: declared counts and sizes, unknown file system types and
// the drives' include bytes. Files without folders get a stand-in folder to hang from, and 1.6.7 a
// stand-in file system when no path can name a root folder; layOut cuts both out again.
inline catagen::Tree frameOf(const Body& body) {
    catagen::Tree tree;
    tree.settings.flags = body.flags;
    for (const Exclude& e : body.excludes) tree.settings.excludes.push_back({e.skipped, e.text});
    for (const Monitor& m : body.monitors) tree.settings.mountPoints.push_back({m.frn, m.fsi});
    for (size_t letter = 0; letter < body.drives.size(); ++letter) {
        if (const std::optional<Drive>& d = body.drives[letter]) {
            catagen::Filesystem& fs = tree.filesystems.emplace_back();
            fs.path = std::string{static_cast<char>('A' + letter), ':'};
            fs.serial = d->serial;
            fs.journalId = d->journal;
            fs.nextUsn = d->nextUsn;
        }
    }
    uint32_t anchor = 0;
    if (body.version == Version::v1_6_7) {
        for (const FileSystem& fs : body.fileSystems) {
            catagen::Filesystem& written = tree.filesystems.emplace_back();
            written.type = 0;  // the generator writes type 0; other types are written over
            written.path = fs.path;
            written.guid = fs.guid;
            written.serial = fs.serial;
            written.journalId = fs.journal;
            written.nextUsn = fs.nextUsn;
        }
        while (anchor < tree.filesystems.size() &&
               tree.filesystems[anchor].path.find('\0') != std::string::npos)
            ++anchor;
        if (anchor == tree.filesystems.size()) {
            tree.filesystems.emplace_back().path = "R:";
        }
    }
    const catagen::Values skipped{
        .modified = 0xA5A5A5A5A5A5A5A5, .attributes = 0xA5A5A5A5, .recordFlags = filler};
    tree.folders.assign(body.folders.size(), {.name = "n", .filesystem = anchor, .values = skipped});
    if (body.folders.empty() && !body.files.empty()) {
        tree.folders.push_back({.name = "n", .filesystem = anchor, .values = {}});
    }
    tree.files.assign(body.files.size(), {.name = "n", .parentFolder = 0, .values = {}});
    return tree;
}

inline Layout layOut(const Body& body) {
    const bool v167 = body.version == Version::v1_6_7;
    catagen::Tree frame = frameOf(body);
    MarkedDatabase db = encodeMarked(
        frame, body.version, body.longCounts ? catagen::CountForm::Long : catagen::CountForm::Shortest);
    const catagen::EncodeMarks& marks = db.marks;
    std::vector<Patch> patches;
    auto setU32 = [&patches](uint64_t at, uint32_t value) { patches.push_back({at, 4, u32Bytes(value)}); };
    // A 1.6.7 count where the generator wrote one, in the body's form; 1.6.6 counts here are u32.
    auto setCount = [&](uint64_t at, uint32_t value) {
        if (!v167) return setU32(at, value);
        patches.push_back({at, countLength(db.bytes, at), countBytes(value, body.longCounts)});
    };

    const uint64_t header = marks.folderCount;
    setU32(header, body.headerFolderCount());
    setU32(header + 4, body.headerFileCount());
    setU32(header + 8, body.headerDecodeSize());
    setU32(header + 12, body.fileDecodeSize);
    if (v167) {
        setU32(header + 16, body.maxFolderPath);
        setU32(header + 20, body.maxFilePath);
        setCount(header + 24, body.fileSystemCount.value_or(static_cast<uint32_t>(body.fileSystems.size())));
        for (size_t k = 0; k < body.fileSystems.size(); ++k)
            setCount(marks.filesystems[k], body.fileSystems[k].type);
        if (frame.filesystems.size() > body.fileSystems.size()) {  // the stand-in file system goes
            uint64_t at = marks.filesystems[body.fileSystems.size()];
            patches.push_back({at, marks.filesystems.back() - at, ""});
        }
        setCount(marks.filesystems.back(),
                 body.monitorCount.value_or(static_cast<uint32_t>(body.monitors.size())));
    } else {
        // The drive list: an include byte, and the drive's numbers when it is included.
        uint64_t at = header + 16;
        for (const std::optional<Drive>& drive : body.drives) {
            if (drive && drive->include != 1)
                patches.push_back({at, 1, std::string(1, static_cast<char>(drive->include))});
            at += drive ? 21 : 1;
        }
    }
    setCount(marks.excludeCount, body.excludeCount.value_or(static_cast<uint32_t>(body.excludes.size())));
    for (size_t k = 0; k < body.excludes.size(); ++k) {
        if (!body.excludes[k].declaredLength) continue;
        uint64_t kind = marks.excludes[k];
        setCount(kind + (v167 ? countLength(db.bytes, kind) : 1), *body.excludes[k].declaredLength);
    }

    auto setName = [&patches](const catagen::EncodeMarks::Record& record, std::string bytes) {
        patches.push_back({record.name, record.end - record.name, std::move(bytes)});
    };
    std::string previous;
    for (size_t i = 0; i < body.folders.size(); ++i) {
        const FolderRecord& f = body.folders[i];
        setU32(marks.folders[i].parent, body.resolve(f.parent));
        if (v167 && body.isRoot(i)) {
            setName(marks.folders[i], countBytes(f.fileSystem, body.longCounts));
        } else {
            setName(marks.folders[i], f.stored.value_or(frontCode(previous, f.name)));
            previous = f.name;
        }
    }
    if (frame.folders.size() > body.folders.size())  // the stand-in folder goes
        patches.push_back({marks.folderRecordsStart, marks.folders[0].end - marks.folderRecordsStart, ""});
    previous.clear();
    for (size_t j = 0; j < body.files.size(); ++j) {
        const FileRecord& file = body.files[j];
        setU32(marks.files[j].parent, body.resolve(file.parent));
        setName(marks.files[j], file.stored.value_or(frontCode(previous, file.name)));
        previous = file.name;
    }

    Layout layout;
    layout.recordsStart = patchedPosition(marks.folderRecordsStart, patches);
    for (size_t i = 0; i < body.folders.size(); ++i)
        layout.folderEnds.push_back(patchedPosition(marks.folders[i].end, patches));
    layout.bytes = applyPatches(std::move(db.bytes), std::move(patches));
    return layout;
}

inline std::string database(const Body& body) { return layOut(body).bytes; }

// The CSV's first line in both versions.
inline const std::string headerLine = "Filename,Attributes\r\n";

// ---- A small database with every kind of record ----

// Six folders and four files: two root folders, a folder whose parent comes later, a name that repeats
// the previous one (suffix length 0), stripped prefixes, files in several folders and a name with a quote
// and a comma. 1.6.6 carries two included drives; 1.6.7 two file systems and a mount point monitor. Both
// carry two exclude entries, one of them empty.
inline Body richBody(Version v) {
    Body body;
    body.version = v;
    body.flags = 0x06;
    body.fileDecodeSize = 77;
    body.excludes = {{3, "C:\\tmp"}, {0, ""}};
    if (v == Version::v1_6_6) {
        body.drives[2] = Drive{1, 0x1234ABCD, 0x01D2000000000042, 0xABCDEF};
        body.drives[5] = Drive{0x80, 0xBEEF, 0xFFFFFFFFFFFFFFFF, 0};
    } else {
        body.maxFolderPath = 40;
        body.maxFilePath = 60;
        body.fileSystems = {{0, "C:", "{guid-c}", 0x1234ABCD, 0x01D2000000000042, 0xABCDEF},
                            {0, "E:\\Media", "{guid-e}", 0xBEEF, 0xFFFFFFFFFFFFFFFF, 0}};
        body.monitors = {{0x00000000DEADBEEF, 7}};
    }
    body.folders = {
        {.parent = root(), .name = "C:", .fileSystem = 0},
        {.parent = folder(0), .name = "Program Files"},
        {.parent = folder(4), .name = "Programs"},
        {.parent = root(), .name = "E:\\Media", .fileSystem = 1},
        {.parent = folder(3), .name = "Docs"},
        {.parent = folder(4), .name = "Docs"},
    };
    body.files = {
        {.parent = folder(1), .name = "readme.txt"},
        {.parent = folder(2), .name = "readme.md"},
        {.parent = folder(5), .name = "a\"b,c"},
        {.parent = folder(0), .name = "x"},
    };
    return body;
}

inline const std::string richCsv = headerLine + "\"C:\",16\r\n"
                                                "\"C:\\Program Files\",16\r\n"
                                                "\"E:\\Media\\Docs\\Programs\",16\r\n"
                                                "\"E:\\Media\",16\r\n"
                                                "\"E:\\Media\\Docs\",16\r\n"
                                                "\"E:\\Media\\Docs\\Docs\",16\r\n"
                                                "\"C:\\Program Files\\readme.txt\",0\r\n"
                                                "\"E:\\Media\\Docs\\Programs\\readme.md\",0\r\n"
                                                "\"E:\\Media\\Docs\\Docs\\a\"b,c\",0\r\n"
                                                "\"C:\\x\",0\r\n";

// ---- Running the program within a memory bound ----

inline constexpr size_t memoryBoundMiB = 64;

struct BoundedRun {
    std::string console;
    int exitCode = -1;  // -1 when the program did not exit normally (a signal, a failed allocation)
    std::optional<std::string> csv;
};

// Converts the database with the built program within memoryBoundMiB (see runProgram), so a program that
// reserves memory by a declared count or size fails the run instead of succeeding on memory the machine
// happens to have.
inline BoundedRun convertWithinBound(const TempDir& directory, std::string_view database) {
    std::string input = directory.write("Quillseek.db", database);
    std::string output = directory.pathOf("out.qlx");
    ProgramRun run = runProgram({input, output}, memoryBoundMiB);
    return {std::move(run.console), run.exitCode, readWholeFile(output)};
}

}  // namespace catadump::test::qwtb
