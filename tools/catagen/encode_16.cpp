// The QWTB bodies, 1.6.6 and 1.6.7. Parents are named by decode offset: the position of the parent's slot
// in a decoded folder area, where every folder takes a fixed overhead plus its name. Both versions name
// files by the same offsets and store names with one-byte counts.
#include <algorithm>

#include "catagen/encode_internal.h"

namespace catagen {

namespace {

constexpr uint32_t kRootOffset = 0xFFFFFFFFu;

bool isRoot(const Entry& folder) { return folder.parentFolder == kNoFolder; }

// Slot sizes: 14 + name in 1.6.6; in 1.6.7, 13 + name, or 17 + the filesystem path for a root folder.
uint64_t slotSize(const Tree& tree, Version version, const Entry& folder) {
    if (version == Version::v1_6_6) return 14 + folder.name.size();
    if (isRoot(folder)) return 17 + tree.filesystems[folder.filesystem].path.size();
    return 13 + folder.name.size();
}

struct DecodeLayout {
    std::vector<uint32_t> offsets;  // per folder
    uint32_t total = 0;             // the folder decode size
};

bool layoutFolders(const Tree& tree, Version version, DecodeLayout& layout) {
    uint64_t at = 0;
    layout.offsets.reserve(tree.folders.size());
    for (const Entry& folder : tree.folders) {
        layout.offsets.push_back(static_cast<uint32_t>(at));
        at += slotSize(tree, version, folder);
        // Offsets are u32, and 0xFFFFFFFF is the root marker, so the area must stay below it.
        if (at > 0xFFFFFFFEu) return false;
    }
    layout.total = static_cast<uint32_t>(at);
    return true;
}

uint32_t saturate(uint64_t value) { return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value); }

// What the header says about the files. Nothing in the converter reads these; we write the size of a
// decoded file area (parent offset, name and terminator per file) and, for 1.6.7, the longest full path.
struct FileSummary {
    uint32_t decodeSize = 0;
    uint32_t longestPath = 0;
    std::string problem;
};

FileSummary summarizeFiles(const Tree& tree, Version version, const std::vector<std::string>& paths) {
    FileSummary summary;
    uint64_t decodeSize = 0;
    size_t longest = 0;
    forEachFile(tree, [&](const Entry& file) {
        summary.problem = checkFile(tree, version, file);
        if (!summary.problem.empty()) return false;
        decodeSize += 5 + file.name.size();
        if (!paths.empty())
            longest = std::max(longest, paths[file.parentFolder].size() + 1 + file.name.size());
        return true;
    });
    summary.decodeSize = saturate(decodeSize);
    summary.longestPath = saturate(longest);
    return summary;
}

void putFiles(const Tree& tree, const EncodeContext& context, const DecodeLayout& layout, ByteSink& sink) {
    if (context.marks != nullptr) context.mark(sink, context.marks->fileRecordsStart);
    std::string previous;
    forEachFile(tree, [&](const Entry& file) {
        EncodeMarks::Record* record = context.openFile();
        context.mark(sink, record, &EncodeMarks::Record::parent);
        putU32(sink, layout.offsets[file.parentFolder]);
        context.mark(sink, record, &EncodeMarks::Record::name);
        putByteFrontCodedName(sink, previous, file.name);
        context.mark(sink, record, &EncodeMarks::Record::end);
        return true;
    });
}

// The header fields both versions share, after the flags word; the marks of the offsets they name.
void putCountsAndSizes(const Tree& tree, const EncodeContext& context, const DecodeLayout& layout,
                       const FileSummary& files, ByteSink& sink) {
    if (EncodeMarks* marks = context.marks) {
        marks->folderReferences = layout.offsets;
        marks->firstInvalidReference = layout.total;
        context.mark(sink, marks->folderCount);
        marks->fileCount = marks->folderCount + 4;
        marks->folderDecodeSize = marks->folderCount + 8;
    }
    putU32(sink, static_cast<uint32_t>(tree.folders.size()));
    putU32(sink, static_cast<uint32_t>(fileCount(tree)));
    putU32(sink, layout.total);
    putU32(sink, files.decodeSize);
}

uint32_t parentOffset(const DecodeLayout& layout, const Entry& folder) {
    return isRoot(folder) ? kRootOffset : layout.offsets[folder.parentFolder];
}

// 1.6.6 has a fixed list of drives A to Z; a filesystem whose path starts with "X:" includes drive X.
const Filesystem* driveFilesystem(const Tree& tree, char letter) {
    for (const Filesystem& fs : tree.filesystems)
        if (fs.path.size() >= 2 && fs.path[1] == ':' && (fs.path[0] == letter || fs.path[0] == letter + 32))
            return &fs;
    return nullptr;
}

}  // namespace

std::string encodeBody166(const Tree& tree, EncodeContext& context, ByteSink& sink) {
    DecodeLayout layout;
    if (!layoutFolders(tree, context.version, layout))
        return "the folder names are too long for 32-bit offsets";
    FileSummary files = summarizeFiles(tree, context.version, {});
    if (!files.problem.empty()) return files.problem;

    putU32(sink, tree.settings.flags);
    putCountsAndSizes(tree, context, layout, files, sink);
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const Filesystem* fs = driveFilesystem(tree, letter);
        putU8(sink, fs != nullptr);
        if (fs == nullptr) continue;
        putU32(sink, fs->serial);
        putU64(sink, fs->journalId);
        putU64(sink, fs->nextUsn);
    }
    if (context.marks != nullptr) context.mark(sink, context.marks->excludeCount);
    putU32(sink, static_cast<uint32_t>(tree.settings.excludes.size()));
    for (const ExcludeEntry& entry : tree.settings.excludes) {
        context.markExclude(sink);
        putU8(sink, static_cast<uint8_t>(entry.kind));
        putU32(sink, static_cast<uint32_t>(entry.text.size()));
        putText(sink, entry.text);
    }
    context.markExclude(sink);
    if (context.marks != nullptr) context.mark(sink, context.marks->folderRecordsStart);
    std::string previous;
    for (const Entry& folder : tree.folders) {
        EncodeMarks::Record* record = context.openFolder();
        // The leading byte, the 8 bytes and the u32 are skipped by the converter; they carry the record
        // flags, the modification date and the attributes.
        putU8(sink, folder.values.recordFlags);
        putU64(sink, folder.values.modified);
        context.mark(sink, record, &EncodeMarks::Record::parent);
        putU32(sink, parentOffset(layout, folder));
        putU32(sink, folder.values.attributes);
        context.mark(sink, record, &EncodeMarks::Record::name);
        putByteFrontCodedName(sink, previous, folder.name);
        context.mark(sink, record, &EncodeMarks::Record::end);
    }
    putFiles(tree, context, layout, sink);
    return {};
}

std::string encodeBody167(const Tree& tree, EncodeContext& context, ByteSink& sink) {
    DecodeLayout layout;
    if (!layoutFolders(tree, context.version, layout))
        return "the folder names are too long for 32-bit offsets";
    std::vector<std::string> paths = folderPaths(tree, true);
    FileSummary files = summarizeFiles(tree, context.version, paths);
    if (!files.problem.empty()) return files.problem;
    size_t longestFolder = 0;
    for (const std::string& path : paths) longestFolder = std::max(longestFolder, path.size());

    CountWriter& counts = context.counts;
    putU32(sink, tree.settings.flags);
    putCountsAndSizes(tree, context, layout, files, sink);
    putU32(sink, saturate(longestFolder));
    putU32(sink, files.longestPath);
    // Every filesystem is written with type 0, the only one this version accepts.
    putCompactCount(sink, counts, static_cast<uint32_t>(tree.filesystems.size()));
    for (const Filesystem& fs : tree.filesystems) {
        context.markFilesystem(sink);
        putCompactCount(sink, counts, 0);
        putCountedString(sink, counts, fs.path);
        putCountedString(sink, counts, fs.guid);
        putU32(sink, fs.serial);
        putU64(sink, fs.journalId);
        putU64(sink, fs.nextUsn);
    }
    context.markFilesystem(sink);
    putCompactCount(sink, counts, static_cast<uint32_t>(tree.settings.mountPoints.size()));
    for (const MountPoint& mount : tree.settings.mountPoints) {
        putU64(sink, mount.frn);
        putU32(sink, mount.fsi);
    }
    if (context.marks != nullptr) context.mark(sink, context.marks->excludeCount);
    putCompactCount(sink, counts, static_cast<uint32_t>(tree.settings.excludes.size()));
    for (const ExcludeEntry& entry : tree.settings.excludes) {
        context.markExclude(sink);
        putCompactCount(sink, counts, entry.kind);
        putCountedString(sink, counts, entry.text);
    }
    context.markExclude(sink);
    // Root folders carry their filesystem index instead of a name and stay out of the front coding.
    if (context.marks != nullptr) context.mark(sink, context.marks->folderRecordsStart);
    std::string previous;
    for (const Entry& folder : tree.folders) {
        EncodeMarks::Record* record = context.openFolder();
        putU64(sink, folder.values.modified);
        context.mark(sink, record, &EncodeMarks::Record::parent);
        putU32(sink, parentOffset(layout, folder));
        putU32(sink, folder.values.attributes);
        context.mark(sink, record, &EncodeMarks::Record::name);
        if (isRoot(folder))
            putCompactCount(sink, counts, folder.filesystem);
        else
            putByteFrontCodedName(sink, previous, folder.name);
        context.mark(sink, record, &EncodeMarks::Record::end);
    }
    putFiles(tree, context, layout, sink);
    return {};
}

}  // namespace catagen
