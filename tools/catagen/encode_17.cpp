// The QRTb bodies: 1.7.5/1.7.8 (early filesystem table, NTFS folder list, record flag bytes that announce
// optional fields) and 1.7.17/1.7.20 (late filesystem table, value fields chosen by the flags word).
#include "catagen/encode_internal.h"

namespace catagen {

namespace {

// Stand-ins for the per-folder numbers of NTFS and type-3 filesystems (file reference numbers: a
// sequence number in the top 16 bits over a record number). The converter skips them.
uint64_t referenceNumber(uint32_t folder) {
    return (uint64_t{1 + folder % 7} << 48) | (uint64_t{folder} + 16);
}

void putBlobLists(const Tree& tree, EncodeContext& context, ByteSink& sink) {
    for (const auto& list : tree.settings.blobLists) {
        putCompactCount(sink, context.counts, static_cast<uint32_t>(list.size()));
        for (const BlobItem& item : list) {
            putU8(sink, item.kind);
            putCountedString(sink, context.counts, item.bytes);
        }
    }
}

void putFilesystemTableEarly(const Tree& tree, EncodeContext& context, ByteSink& sink) {
    CountWriter& counts = context.counts;
    putCompactCount(sink, counts, static_cast<uint32_t>(tree.filesystems.size()));
    for (const Filesystem& fs : tree.filesystems) {
        context.markFilesystem(sink);
        putCompactCount(sink, counts, fs.type);
        switch (fs.type) {
        case 0:
            putCountedString(sink, counts, fs.guid);
            putCountedString(sink, counts, fs.path);
            putCountedString(sink, counts, fs.root);
            putU32(sink, fs.serial);
            putU8(sink, fs.flagA);
            putU64(sink, fs.journalId);
            putU64(sink, fs.nextUsn);
            break;
        case 1:
            putCountedString(sink, counts, fs.path);
            break;
        case 2:
            putCountedString(sink, counts, fs.path);
            putU8(sink, fs.flagA);
            putU8(sink, fs.flagB);
            putU32(sink, fs.serial);
            putU64(sink, fs.nextUsn);
            break;
        }
    }
    context.markFilesystem(sink);
}

void putFilesystemTableLate(const Tree& tree, EncodeContext& context, ByteSink& sink) {
    CountWriter& counts = context.counts;
    putCompactCount(sink, counts, static_cast<uint32_t>(tree.filesystems.size()));
    for (const Filesystem& fs : tree.filesystems) {
        context.markFilesystem(sink);
        putCompactCount(sink, counts, fs.type);
        putU8(sink, fs.outOfDate);
        switch (fs.type) {
        case 0:
        case 3:
            putCountedString(sink, counts, fs.guid);
            putCountedString(sink, counts, fs.path);
            putCountedString(sink, counts, fs.root);
            putCountedString(sink, counts, fs.includeOnly);
            putU64(sink, fs.journalId);
            putU64(sink, fs.nextUsn);
            break;
        case 1:
        case 2:
            putCountedString(sink, counts, fs.path);
            putU64(sink, fs.nextUsn);
            break;
        }
    }
    context.markFilesystem(sink);
}

// The hierarchy block: a folder's parent index, or F + k for a folder that hangs from filesystem k.
uint32_t parentReference(const Tree& tree, const Entry& entry) {
    if (entry.parentFolder != kNoFolder) return entry.parentFolder;
    return static_cast<uint32_t>(tree.folders.size()) + entry.filesystem;
}

void putHierarchy(const Tree& tree, const EncodeContext& context, ByteSink& sink) {
    for (const Entry& folder : tree.folders) {
        context.mark(sink, context.openFolder(), &EncodeMarks::Record::parent);
        putU32(sink, parentReference(tree, folder));
    }
}

uint32_t filesystemTypeOf(const Tree& tree, const EncodeContext& context, const Entry& entry) {
    uint32_t fs =
        entry.parentFolder == kNoFolder ? entry.filesystem : context.rootFilesystem[entry.parentFolder];
    return tree.filesystems[fs].type;
}

// The optional fields a type-1 record flag byte announces in 1.7.5/1.7.8, in bit order: 0x01 four bytes,
// 0x02 and 0x04 eight bytes each, and 0x08 eight bytes in file records only.
void putAnnouncedFields(ByteSink& sink, const Values& values, bool isFile) {
    uint8_t flags = values.recordFlags;
    if (flags & 0x01) putU32(sink, values.attributes);
    if (flags & 0x02) putU64(sink, values.created);
    if (flags & 0x04) putU64(sink, values.modified);
    if (isFile && (flags & 0x08)) putU64(sink, values.size);
}

// The folders that live on NTFS filesystems: the list the early layout keeps between the hierarchy and
// the folder records. The converter only counts it.
void putNtfsFolderList(const Tree& tree, const EncodeContext& context, ByteSink& sink) {
    uint32_t count = 0;
    for (uint32_t fs : context.rootFilesystem) count += tree.filesystems[fs].type == 0;
    putU32(sink, count);
    for (size_t i = 0; i < tree.folders.size(); ++i)
        if (tree.filesystems[context.rootFilesystem[i]].type == 0) putU32(sink, static_cast<uint32_t>(i));
}

// 1.7.5 declares a decode size that nothing reads; we write the bytes the folder names take with a
// terminator each.
uint32_t earlyDecodeSize(const Tree& tree) {
    uint64_t total = 0;
    for (const Entry& folder : tree.folders) total += folder.name.size() + 1;
    return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

void putHeader(const Tree& tree, const EncodeContext& context, ByteSink& sink) {
    if (EncodeMarks* marks = context.marks) {
        context.mark(sink, marks->folderCount);
        marks->folderCount += 4;  // past the flags word
        marks->fileCount = marks->folderCount + 4;
        if (context.version == Version::v1_7_5) marks->folderDecodeSize = marks->fileCount + 4;
        marks->folderReferences.resize(tree.folders.size());
        for (size_t i = 0; i < tree.folders.size(); ++i)
            marks->folderReferences[i] = static_cast<uint32_t>(i);
        marks->firstInvalidReference = static_cast<uint32_t>(tree.folders.size() + tree.filesystems.size());
    }
    putU32(sink, tree.settings.flags);
    putU32(sink, static_cast<uint32_t>(tree.folders.size()));
    putU32(sink, static_cast<uint32_t>(fileCount(tree)));
}

// Writes every file record with `putRecord`, stopping at the first file that cannot be written.
// `putRecord` is given the record's marks, null when none are asked for, to mark its name.
template <typename PutRecord>
std::string putFiles(const Tree& tree, const EncodeContext& context, ByteSink& sink, PutRecord putRecord) {
    if (context.marks != nullptr) context.mark(sink, context.marks->fileRecordsStart);
    std::string problem;
    forEachFile(tree, [&](const Entry& file) {
        problem = checkFile(tree, context.version, file);
        if (!problem.empty()) return false;
        EncodeMarks::Record* record = context.openFile();
        context.mark(sink, record, &EncodeMarks::Record::parent);
        putRecord(file, record);
        context.mark(sink, record, &EncodeMarks::Record::end);
        return true;
    });
    return problem;
}

// The marks of folder record i, which the hierarchy block opened; null when none are asked for.
EncodeMarks::Record* folderMarks(const EncodeContext& context, size_t i) {
    return context.marks ? &context.marks->folders[i] : nullptr;
}

}  // namespace

std::string encodeBodyEarly(const Tree& tree, EncodeContext& context, ByteSink& sink) {
    putHeader(tree, context, sink);
    if (context.version == Version::v1_7_5) putU32(sink, earlyDecodeSize(tree));
    putFilesystemTableEarly(tree, context, sink);
    putBlobLists(tree, context, sink);
    if (!tree.folders.empty()) {
        putHierarchy(tree, context, sink);
        putNtfsFolderList(tree, context, sink);
    }
    if (context.marks != nullptr) context.mark(sink, context.marks->folderRecordsStart);
    if (!tree.folders.empty()) {
        std::string previous;
        for (size_t i = 0; i < tree.folders.size(); ++i) {
            const Entry& folder = tree.folders[i];
            uint32_t type = tree.filesystems[context.rootFilesystem[i]].type;
            if (type == 1) putU8(sink, folder.values.recordFlags);
            context.mark(sink, folderMarks(context, i), &EncodeMarks::Record::name);
            putFrontCodedName(sink, context.counts, previous, folder.name);
            if (type == 0) putU64(sink, referenceNumber(static_cast<uint32_t>(i)));
            if (type == 1) putAnnouncedFields(sink, folder.values, false);
            context.mark(sink, folderMarks(context, i), &EncodeMarks::Record::end);
        }
    }
    std::string previous;
    return putFiles(tree, context, sink, [&](const Entry& file, EncodeMarks::Record* record) {
        putU32(sink, parentReference(tree, file));
        uint32_t type = filesystemTypeOf(tree, context, file);
        if (type == 1) putU8(sink, file.values.recordFlags);
        context.mark(sink, record, &EncodeMarks::Record::name);
        putFrontCodedName(sink, context.counts, previous, file.name);
        if (type == 1) putAnnouncedFields(sink, file.values, true);
    });
}

std::string encodeBodyLate(const Tree& tree, EncodeContext& context, ByteSink& sink) {
    const uint32_t flags = tree.settings.flags;
    putHeader(tree, context, sink);
    putFilesystemTableLate(tree, context, sink);
    putU8(sink, tree.settings.excludeFlags);
    putBlobLists(tree, context, sink);
    // The dates and attributes share one bit between folders and files; the sizes have one each.
    auto putSharedValues = [&](const Values& values) {
        if (flags & 0x02) putU64(sink, values.created);
        if (flags & 0x04) putU64(sink, values.modified);
        if (flags & 0x08) putU64(sink, values.accessed);
        if (flags & 0x10) putU32(sink, values.attributes);
    };
    if (!tree.folders.empty()) {
        putHierarchy(tree, context, sink);
    }
    if (context.marks != nullptr) context.mark(sink, context.marks->folderRecordsStart);
    if (!tree.folders.empty()) {
        std::string previous;
        for (size_t i = 0; i < tree.folders.size(); ++i) {
            const Entry& folder = tree.folders[i];
            uint32_t type = tree.filesystems[context.rootFilesystem[i]].type;
            if (type == 1) putU8(sink, folder.values.recordFlags);
            context.mark(sink, folderMarks(context, i), &EncodeMarks::Record::name);
            putFrontCodedName(sink, context.counts, previous, folder.name);
            if (flags & 0x20) putU64(sink, folder.values.size);
            putSharedValues(folder.values);
            if (type == 0) putU64(sink, referenceNumber(static_cast<uint32_t>(i)));
            if (type == 3) {
                putU64(sink, referenceNumber(static_cast<uint32_t>(i)));
                putU64(sink, folder.parentFolder == kNoFolder ? 0 : referenceNumber(folder.parentFolder));
            }
            context.mark(sink, folderMarks(context, i), &EncodeMarks::Record::end);
        }
    }
    std::string previous;
    return putFiles(tree, context, sink, [&](const Entry& file, EncodeMarks::Record* record) {
        putU32(sink, parentReference(tree, file));
        if (filesystemTypeOf(tree, context, file) == 1) putU8(sink, file.values.recordFlags);
        context.mark(sink, record, &EncodeMarks::Record::name);
        putFrontCodedName(sink, context.counts, previous, file.name);
        if (flags & 0x01) putU64(sink, file.values.size);
        putSharedValues(file.values);
    });
}

}  // namespace catagen
