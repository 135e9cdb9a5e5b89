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
    if (folderCount > 0) {
        if (!readParentLinks(stream, folderCount, filesystems.count(), folders)) return;
        if (!resolveRootFilesystems(*stream.run, folders)) return;
        if (!readFolders(stream, sink, filesystems, folders, flags)) return;
    }
    say(*stream.run, "Loading files...\n");
    readFiles(stream, sink, filesystems, folders, folderCount, fileCount, flags);
}

}  // namespace

void readBody1717(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }
void readBody1720(DatabaseStream& stream, EntrySink& sink) { convert(stream, sink); }

}  // namespace catadump
