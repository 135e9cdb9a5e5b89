// The table of filesystems that opens every 1.7 database body, in its early layout (1.7.5, 1.7.8) and its
// late layout (1.7.17, 1.7.20). Only each filesystem's type is kept; the other fields are printed or dropped.
#pragma once

#include <cstdint>
#include <vector>

#include "input/database_stream.h"

namespace catadump {

enum FilesystemType : uint32_t {
    filesystemNtfs = 0,
    filesystemPlain = 1,
    filesystemFolder = 2,
    filesystemOther = 3
};

struct FilesystemEntry {
    uint32_t type = 0;
};

struct FilesystemTable {
    std::vector<FilesystemEntry> entries;  // in file order; its size is the filesystem count
    uint32_t count() const { return static_cast<uint32_t>(entries.size()); }
};

// Both return false when a read failed on the way: the table then holds the entries read before it.
bool readFilesystemTableEarly(DatabaseStream& stream, FilesystemTable& table);
bool readFilesystemTableLate(DatabaseStream& stream, FilesystemTable& table);

}  // namespace catadump
