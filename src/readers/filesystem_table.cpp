#include "readers/filesystem_table.h"

#include <algorithm>
#include <cinttypes>
#include <string>

#include "input/field_encodings.h"
#include "io/run_context.h"

namespace catadump {

namespace {

// The table grows as entries are read, so a count the data does not back costs nothing.
uint32_t startTable(DatabaseStream& stream, FilesystemTable& table) {
    uint32_t count = readCompactCount(stream);
    say(*stream.run, "filesystem count: %d\n", static_cast<int>(count));
    table.entries.clear();
    table.entries.reserve(std::min<uint32_t>(count, 1024));
    return count;
}

void skipEarlyEntry(DatabaseStream& stream, uint32_t type) {
    switch (type) {
    case filesystemNtfs:
        for (int i = 0; i < 3; ++i) readCountedString(stream);
        readU32(stream);
        readU8(stream);
        readU64(stream);
        readU64(stream);
        break;
    case filesystemPlain:
        readCountedString(stream);
        break;
    case filesystemFolder:
        readCountedString(stream);
        readU8(stream);
        readU8(stream);
        readU32(stream);
        readU64(stream);
        break;
    default:
        // Nothing more of this entry is consumed; the next entry is read from the bytes that follow.
        say(*stream.run, "bad filesystem type %d\n", static_cast<int>(type));
        break;
    }
}

void readLateEntry(DatabaseStream& stream, int index, uint32_t type) {
    switch (type) {
    case filesystemNtfs: {
        std::string guid = readCountedString(stream);
        std::string path = readCountedString(stream);
        std::string root = readCountedString(stream);
        std::string includeOnly = readCountedString(stream);
        uint64_t journal = readU64(stream);
        uint64_t nextUsn = readU64(stream);
        if (failed(stream)) break;  // an entry that was not read in full is not printed
        say(*stream.run, "filesystem %d: NTFS: guid: %s\n", index, guid.c_str());
        say(*stream.run, "filesystem %d: NTFS: path: %s\n", index, path.c_str());
        say(*stream.run, "filesystem %d: NTFS: root: %s\n", index, root.c_str());
        say(*stream.run, "filesystem %d: NTFS: include only: %s\n", index, includeOnly.c_str());
        say(*stream.run, "filesystem %d: NTFS: USN Journal ID: %016" PRIx64 "\n", index, journal);
        say(*stream.run, "filesystem %d: NTFS: Next USN: %016" PRIx64 "\n", index, nextUsn);
        break;
    }
    case filesystemPlain:
        readCountedString(stream);
        readU64(stream);
        break;
    case filesystemFolder: {
        std::string path = readCountedString(stream);
        uint64_t nextUpdate = readU64(stream);
        if (failed(stream)) break;
        say(*stream.run, "filesystem %d: FOLDER: path: %s\n", index, path.c_str());
        say(*stream.run, "filesystem %d: FOLDER: next update: %016" PRIx64 "\n", index, nextUpdate);
        break;
    }
    case filesystemOther:
        for (int i = 0; i < 4; ++i) readCountedString(stream);
        readU64(stream);
        readU64(stream);
        break;
    default:
        say(*stream.run, "bad filesystem type %d\n", static_cast<int>(type));
        break;
    }
}

}  // namespace

bool readFilesystemTableEarly(DatabaseStream& stream, FilesystemTable& table) {
    uint32_t count = startTable(stream, table);
    for (uint32_t i = 0; i < count; ++i) {
        if (failed(stream)) return false;
        uint32_t type = readCompactCount(stream);
        table.entries.push_back({type});
        skipEarlyEntry(stream, type);
    }
    return !failed(stream);
}

bool readFilesystemTableLate(DatabaseStream& stream, FilesystemTable& table) {
    uint32_t count = startTable(stream, table);
    for (uint32_t i = 0; i < count; ++i) {
        if (failed(stream)) return false;
        uint32_t type = readCompactCount(stream);
        uint8_t outOfDate = readU8(stream);
        if (failed(stream)) return false;
        table.entries.push_back({type});
        int index = static_cast<int>(i);
        say(*stream.run, "filesystem %d: type %d\n", index, static_cast<int>(type));
        say(*stream.run, "filesystem %d: out of date %d\n", index, outOfDate);
        readLateEntry(stream, index, type);
    }
    return !failed(stream);
}

}  // namespace catadump
