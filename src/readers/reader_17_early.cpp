// Reader for QRTb 1.7.5 and 1.7.8. The two differ only in the decode-size field of the header, which 1.7.5
// has and 1.7.8 lacks. Each stage returns early when the reader must stop: a read failed (the rest would
// be zeroes), or a structural check failed (reported where it was found).
#include <cstdint>

#include "input/field_encodings.h"
#include "io/run_context.h"
#include "readers/name_decoding.h"
#include "readers/reader_common.h"
#include "readers/readers.h"
#include "readers/recovery.h"

namespace catadump {

namespace {

// Type-1 records announce optional fields in a flag byte; bit 0x08 adds a field to file records only.
uint32_t optionalFieldBytes(uint8_t recordFlags, NameList list) {
    uint32_t bytes = 0;
    if (recordFlags & 0x01) bytes += 4;
    if (recordFlags & 0x02) bytes += 8;
    if (recordFlags & 0x04) bytes += 8;
    if ((recordFlags & 0x08) && list == NameList::files) bytes += 8;
    return bytes;
}

// The list of the folders on NTFS filesystems, which the records need not. False when it was not read.
// Under recovery (`section` given), a list longer than the folders is damage: where the folder records
// begin is not known.
bool skipNtfsFolderList(DatabaseStream& stream, FolderSection* section = nullptr) {
    uint32_t ntfsFolderCount = readU32(stream);
    say(*stream.run, "NTFS folder count: %d\n", static_cast<int>(ntfsFolderCount));
    if (section != nullptr && ntfsFolderCount > section->count && !failed(stream)) {
        reportCorrupt(*stream.run, "NTFS folder count %u > %u folders\n", ntfsFolderCount, section->count);
        section->namesReadable = false;
        ntfsFolderCount = 0;
    }
    for (uint32_t i = 0; i < ntfsFolderCount && !failed(stream); ++i) readU32(stream);
    if (failed(stream)) return false;
    say(*stream.run, "Loading folders...\n");
    return true;
}

// The folder records, then the folder rows. False when no file part may follow.
bool readFolders(DatabaseStream& stream, EntrySink& sink, const FilesystemTable& filesystems,
                 FolderTable& folders) {
    uint32_t folderCount = static_cast<uint32_t>(folders.entries.size());
    if (!skipNtfsFolderList(stream)) return false;
    NameState names;
    uint32_t complete = 0;
    for (; complete < folderCount && !failed(stream); ++complete) {
        uint32_t type = filesystemTypeOf(filesystems, folders.entries[complete].rootFilesystem);
        uint32_t optional =
            type == filesystemPlain ? optionalFieldBytes(readU8(stream), NameList::folders) : 0;
        if (!decodeFrontCodedName(stream, names, NameList::folders, CountWidth::compact)) return false;
        storeDecodedFolderName(folders.names, complete, names);
        if (type == filesystemNtfs) skipStreamBytes(stream, 8);
        skipStreamBytes(stream, optional);
        if (failed(stream)) break;  // this record is incomplete
    }
    sendFolderEntries(sink, folders, complete, complete == folderCount);
    return complete == folderCount;
}

void readFiles(DatabaseStream& stream, EntrySink& sink, const FilesystemTable& filesystems,
               FolderTable& folders, uint32_t folderCount, uint32_t fileCount) {
    NameState name;
    for (uint32_t k = 0; k < fileCount && !failed(stream); ++k) {
        FileParent parent;
        if (!readFileParent(stream, folders, folderCount, filesystems.count(), parent)) return;
        uint32_t type = filesystemTypeOf(filesystems, parent.filesystem);
        uint32_t optional = type == filesystemPlain ? optionalFieldBytes(readU8(stream), NameList::files) : 0;
        if (!decodeFrontCodedName(stream, name, NameList::files, CountWidth::compact)) return;
        skipStreamBytes(stream, optional);
        if (failed(stream)) return;  // no row from a record that was not read in full
        sendEntry(sink, folders, {EntryKind::file, parent.folder, visibleName(name), nullptr});
    }
}

// ---- Recovery (--recover) of the file records ----

struct FileLayout {
    uint32_t folderCount;
    const FilesystemTable& filesystems;
    const FolderTable& folders;
};

// The file record at `bytes` (`n` of them at hand), read as readFiles reads it, and checked. With no values
// to look at, a likely record is any acceptable one, and a convincing one has a name of its own.
Parsed parseFileRecord(const void* context, const uint8_t* bytes, size_t n, Proof proof,
                       RecoveredRecord& out) {
    const auto& layout = *static_cast<const FileLayout*>(context);
    RecordBytes record{bytes, n};
    uint32_t reference = 0;
    if (!takeU32(record, reference)) return Parsed::cut;
    if (uint64_t{reference} >= uint64_t{layout.folderCount} + layout.filesystems.count())
        return Parsed::wrong;
    uint32_t filesystem = reference < layout.folderCount ? layout.folders.entries[reference].rootFilesystem
                                                         : reference - layout.folderCount;
    uint32_t optional = 0;
    if (filesystemTypeOf(layout.filesystems, filesystem) == filesystemPlain) {
        uint8_t recordFlags = 0;
        if (!takeU8(record, recordFlags)) return Parsed::cut;
        optional = optionalFieldBytes(recordFlags, NameList::files);
    }
    if (Parsed name = takeName(record, CountWidth::compact, proof, out); name != Parsed::whole) return name;
    if (proof == Proof::convincing && out.suffix.empty()) return Parsed::wrong;
    if (!takeBytes(record, optional)) return Parsed::cut;
    out.folder = reference < layout.folderCount ? reference : noFolder;
    out.hasValues = false;
    out.length = record.at;
    return Parsed::whole;
}

// The record of folder `folder`, read as readFolders reads it.
Parsed parseFolderRecord(const void* context, uint32_t folder, const uint8_t* bytes, size_t n, Proof proof,
                         RecoveredRecord& out) {
    const auto& layout = *static_cast<const FileLayout*>(context);
    RecordBytes record{bytes, n};
    uint32_t type = filesystemTypeOf(layout.filesystems, layout.folders.entries[folder].rootFilesystem);
    uint32_t optional = 0;
    if (type == filesystemPlain) {
        uint8_t recordFlags = 0;
        if (!takeU8(record, recordFlags)) return Parsed::cut;
        optional = optionalFieldBytes(recordFlags, NameList::folders);
    }
    if (Parsed name = takeName(record, CountWidth::compact, proof, out); name != Parsed::whole) return name;
    if (!takeBytes(record, (type == filesystemNtfs ? 8 : 0) + optional)) return Parsed::cut;
    out.hasValues = false;
    out.length = record.at;
    return Parsed::whole;
}

void convert(DatabaseStream& stream, EntrySink& sink, bool hasDecodeSize) {
    readFlagsWord(stream);
    uint32_t folderCount = readU32(stream);
    uint32_t fileCount = readU32(stream);
    uint32_t decodeSize = hasDecodeSize ? readU32(stream) : 0;
    say(*stream.run, "number of folders: %d\n", static_cast<int>(folderCount));
    say(*stream.run, "number of files: %d\n", static_cast<int>(fileCount));
    stateEntries(sink, folderCount, fileCount);
    if (hasDecodeSize) say(*stream.run, "decode size: %d (ignored)\n", static_cast<int>(decodeSize));

    FilesystemTable filesystems;
    if (!readFilesystemTableEarly(stream, filesystems)) return;
    for (int list = 0; list < 3; ++list) skipBlobList(stream);
    if (failed(stream)) return;

    FolderTable folders;
    TableInUse tableInUse{sink};
    if (!stream.run->recover) {
        if (folderCount > 0) {
            if (!readParentLinks(stream, folderCount, filesystems.count(), folders)) return;
            if (!resolveRootFilesystems(*stream.run, folders)) return;
            if (!readFolders(stream, sink, filesystems, folders)) return;
        }
        say(*stream.run, "Loading files...\n");
        readFiles(stream, sink, filesystems, folders, folderCount, fileCount);
        return;
    }
    FolderSection section{&filesystems, folderCount};
    if (folderCount > 0) {
        if (!readHierarchyRecovering(stream, filesystems, folders, section)) return;
        if (!skipNtfsFolderList(stream, &section)) return;
    }
    const FileLayout layout{folderCount, filesystems, folders};
    recoverFoldersAndFiles(stream, sink, folders, section, {parseFolderRecord, &layout, false},
                           {parseFileRecord, &layout, 8}, fileCount, nullptr, nullptr);
}

}  // namespace

void readBody175(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink, true); }
void readBody178(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink, false); }

}  // namespace catadump
