// A tree read from a directory on disk: real names and sizes, POSIX times as Windows FILETIMEs and POSIX
// modes mapped onto Windows attribute bits.
//
// Attributes: 0x10 for a directory; 0x01 (read-only) when the owner may not write; 0x02 (hidden) for a
// name that starts with '.'; 0x20 (archive) for a regular file; 0x80 (normal) for a file that got none of
// these. Sizes: a file's byte count (a symbolic link's own length); a folder's size is the total of the
// files below it, at any depth. Dates: created is the birth time where the system reports one and the
// status-change time otherwise; modified and accessed are the POSIX ones.
//
// The directory itself becomes the one root folder, on one filesystem whose path is the directory's
// absolute path. Folders are listed breadth first, siblings sorted bytewise; files follow their folders'
// order, sorted bytewise within each folder. Symbolic links are listed as files and never followed.
// Entries that cannot be examined, and names that hold a backslash (which the converter would take for a
// path separator), are skipped with a warning; a directory that cannot be listed is kept, empty.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "catagen/tree.h"

namespace catagen {

struct DirectoryOptions {
    uint32_t filesystemType = 2;
    uint32_t flags = 0x3F;
};

// False when `root` is not a readable directory; the reason is in `warnings`.
bool treeFromDirectory(const std::string& root, const DirectoryOptions& options, Tree& out,
                       std::ostream& warnings);

}  // namespace catagen
