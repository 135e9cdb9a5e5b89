// Reader for QRTb 1.7.17 and 1.7.20. Both versions share one body layout; the flags word that opens it
// chooses which value fields (size, three dates, attributes) the folder and file records carry, and every
// row gets the five value columns.
#include <cstdint>
#include <vector>

#include "input/field_encodings.h"
#include "io/run_context.h"
#include "model/large_tables.h"
#include "readers/name_decoding.h"
#include "readers/reader_common.h"
#include "readers/readers.h"
#include "readers/recovery.h"

namespace catadump {

namespace {

constexpr uint32_t flagFileSize = 0x01;
constexpr uint32_t flagDateCreated = 0x02;
constexpr uint32_t flagDateModified = 0x04;
constexpr uint32_t flagDateAccessed = 0x08;
constexpr uint32_t flagAttributes = 0x10;
constexpr uint32_t flagFolderSize = 0x20;

constexpr uint32_t folderValueFlags =
    flagFolderSize | flagDateCreated | flagDateModified | flagDateAccessed | flagAttributes;

constexpr uint32_t folderAttributesDefault = 16;

// The value fields a record carries, in their fixed order; absent ones keep what `values` holds.
void readValues(DatabaseStream& stream, uint32_t flags, uint32_t sizeFlag, RowValues& values) {
    if (flags & sizeFlag) values.size = readU64(stream);
    if (flags & flagDateCreated) values.dateCreated = readU64(stream);
    if (flags & flagDateModified) values.dateModified = readU64(stream);
    if (flags & flagDateAccessed) values.dateAccessed = readU64(stream);
    if (flags & flagAttributes) values.attributes = readU32(stream);
}

bool readFolders(DatabaseStream& stream, EntrySink& sink, const FilesystemTable& filesystems,
                 FolderTable& folders, uint32_t flags) {
    uint32_t folderCount = static_cast<uint32_t>(folders.entries.size());
    say(*stream.run, "Loading folders...\n");
    // The folders' values are kept only when the records carry any: otherwise every folder has the same.
    const RowValues defaults{.attributes = folderAttributesDefault};
    bool recordsHoldValues = (flags & folderValueFlags) != 0;
    std::vector<RowValues> values;
    assignLargeTable(values, recordsHoldValues ? folderCount : 0, defaults);
    NameState names;
    uint32_t complete = 0;
    for (; complete < folderCount && !failed(stream); ++complete) {
        uint32_t type = filesystemTypeOf(filesystems, folders.entries[complete].rootFilesystem);
        if (type == filesystemPlain) readU8(stream);  // record flag byte: announces nothing here
        if (!decodeFrontCodedName(stream, names, NameList::folders, CountWidth::compact)) return false;
        storeDecodedFolderName(folders.names, complete, names);
        if (recordsHoldValues) readValues(stream, flags, flagFolderSize, values[complete]);
        if (type == filesystemNtfs) skipStreamBytes(stream, 8);
        if (type == filesystemOther) skipStreamBytes(stream, 16);
        if (failed(stream)) break;  // this record is incomplete
    }
    forEachFolderToWrite(folders, complete, complete == folderCount, [&](uint32_t folder) {
        sendEntry(sink, folders,
                  {EntryKind::folder, folder, {}, recordsHoldValues ? &values[folder] : &defaults});
    });
    return complete == folderCount;
}

void readFiles(DatabaseStream& stream, EntrySink& sink, const FilesystemTable& filesystems,
               FolderTable& folders, uint32_t folderCount, uint32_t fileCount, uint32_t flags) {
    NameState name;
    for (uint32_t k = 0; k < fileCount && !failed(stream); ++k) {
        FileParent parent;
        if (!readFileParent(stream, folders, folderCount, filesystems.count(), parent)) return;
        if (filesystemTypeOf(filesystems, parent.filesystem) == filesystemPlain) readU8(stream);
        if (!decodeFrontCodedName(stream, name, NameList::files, CountWidth::compact)) return;
        RowValues values;
        readValues(stream, flags, flagFileSize, values);
        if (failed(stream)) return;  // no row from a record that was not read in full
        sendEntry(sink, folders, {EntryKind::file, parent.folder, visibleName(name), &values});
    }
}

// ---- Recovery (--recover) of the file records ----

constexpr uint64_t fileTimeOf1980 = 119600064000000000ull;
constexpr uint64_t fileTimeOf2100 = 157469184000000000ull;
constexpr uint32_t knownAttributes = 0x5FFFF7;

struct FileLayout {
    uint32_t flags;
    uint32_t folderCount;
    const FilesystemTable& filesystems;
    const FolderTable& folders;
};

// Any values are acceptable: a database may hold dates no calendar shows. A likely record has dates
// between 1980 and 2100 (or none) and at least one of them where the database keeps them (zeroed bytes
// have none), some attribute of known bits, and a size below 256 TiB (or all ones). `sizeFlag` is the flag
// of the record's size: a folder's or a file's.
bool dateLikely(uint64_t date) {
    return date == 0 || date - fileTimeOf1980 < fileTimeOf2100 - fileTimeOf1980;
}

bool valuesLikely(const RowValues& values, uint32_t flags, uint32_t sizeFlag) {
    if ((flags & flagDateCreated) && !dateLikely(values.dateCreated)) return false;
    if ((flags & flagDateModified) && !dateLikely(values.dateModified)) return false;
    if ((flags & flagDateAccessed) && !dateLikely(values.dateAccessed)) return false;
    uint32_t dates = flags & (flagDateCreated | flagDateModified | flagDateAccessed);
    if (dates != 0 && (values.dateCreated | values.dateModified | values.dateAccessed) == 0) return false;
    if ((flags & flagAttributes) && (values.attributes == 0 || (values.attributes & ~knownAttributes) != 0)) {
        return false;
    }
    return !(flags & sizeFlag) || values.size < (uint64_t{1} << 48) || values.size == ~uint64_t{0};
}

// The value fields of a record, as readValues reads them, into `values` (absent ones keep what it holds;
// `sizeFlag` is the flag of the record's size), checked as `proof` asks.
Parsed takeValues(RecordBytes& record, uint32_t flags, uint32_t sizeFlag, Proof proof, RowValues& values) {
    auto u64 = [&](uint32_t flag, uint64_t& value) { return !(flags & flag) || takeU64(record, value); };
    if (!u64(sizeFlag, values.size) || !u64(flagDateCreated, values.dateCreated) ||
        !u64(flagDateModified, values.dateModified) || !u64(flagDateAccessed, values.dateAccessed) ||
        ((flags & flagAttributes) && !takeU32(record, values.attributes))) {
        return Parsed::cut;
    }
    return proof == Proof::acceptable || valuesLikely(values, flags, sizeFlag) ? Parsed::whole
                                                                               : Parsed::wrong;
}

// The file record at `bytes` (`n` of them at hand), read as readFiles reads it, and checked.
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
    if (filesystemTypeOf(layout.filesystems, filesystem) == filesystemPlain && !takeBytes(record, 1)) {
        return Parsed::cut;
    }
    if (Parsed name = takeName(record, CountWidth::compact, proof, out); name != Parsed::whole) return name;
    if (proof == Proof::convincing && out.suffix.empty()) return Parsed::wrong;
    out.values = {};
    if (Parsed values = takeValues(record, layout.flags, flagFileSize, proof, out.values);
        values != Parsed::whole)
        return values;
    out.folder = reference < layout.folderCount ? reference : noFolder;
    out.hasValues = true;
    out.length = record.at;
    return Parsed::whole;
}

// The record of folder `folder`, read as readFolders reads it, and checked as a file record's values are.
Parsed parseFolderRecord(const void* context, uint32_t folder, const uint8_t* bytes, size_t n, Proof proof,
                         RecoveredRecord& out) {
    const auto& layout = *static_cast<const FileLayout*>(context);
    RecordBytes record{bytes, n};
    uint32_t type = filesystemTypeOf(layout.filesystems, layout.folders.entries[folder].rootFilesystem);
    if (type == filesystemPlain && !takeBytes(record, 1)) return Parsed::cut;
    if (Parsed name = takeName(record, CountWidth::compact, proof, out); name != Parsed::whole) return name;
    out.values = {.attributes = folderAttributesDefault};  // what the records hold no field of
    if (Parsed values = takeValues(record, layout.flags, flagFolderSize, proof, out.values);
        values != Parsed::whole)
        return values;
    if (!takeBytes(record, type == filesystemNtfs ? 8 : type == filesystemOther ? 16 : 0)) return Parsed::cut;
    out.hasValues = true;
    out.length = record.at;
    return Parsed::whole;
}

void convert(DatabaseStream& stream, EntrySink& sink) {
    uint32_t flags = readFlagsWord(stream);
    uint32_t folderCount = readU32(stream);
    uint32_t fileCount = readU32(stream);
    say(*stream.run, "number of folders: %d\n", static_cast<int>(folderCount));
    say(*stream.run, "number of files: %d\n", static_cast<int>(fileCount));
    stateEntries(sink, folderCount, fileCount);

    FilesystemTable filesystems;
    if (!readFilesystemTableLate(stream, filesystems)) return;
    say(*stream.run, "Exclude flags %02x\n", readU8(stream));
    for (int list = 0; list < 3; ++list) skipBlobList(stream);
    if (failed(stream)) return;

    FolderTable folders;
    TableInUse tableInUse{sink};
    if (!stream.run->recover) {
        if (folderCount > 0) {
            if (!readParentLinks(stream, folderCount, filesystems.count(), folders)) return;
            if (!resolveRootFilesystems(*stream.run, folders)) return;
            if (!readFolders(stream, sink, filesystems, folders, flags)) return;
        }
        say(*stream.run, "Loading files...\n");
        readFiles(stream, sink, filesystems, folders, folderCount, fileCount, flags);
        return;
    }
    FolderSection section{&filesystems, folderCount};
    if (folderCount > 0) {
        if (!readHierarchyRecovering(stream, filesystems, folders, section)) return;
        say(*stream.run, "Loading folders...\n");
    }
    const FileLayout layout{flags, folderCount, filesystems, folders};
    // The folders' values are kept only when the records carry any, as readFolders keeps them.
    const RowValues defaults{.attributes = folderAttributesDefault};
    std::vector<RowValues> values;
    if (flags & folderValueFlags) assignLargeTable(values, folderCount, defaults);
    recoverFoldersAndFiles(
        stream, sink, folders, section, {parseFolderRecord, &layout, (flags & folderValueFlags) != 0},
        {parseFileRecord, &layout, 4}, fileCount, (flags & folderValueFlags) ? &values : nullptr, &defaults);
}

}  // namespace

void readBody1717(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }
void readBody1720(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }

}  // namespace catadump
