// Writing a tree as a database of one of the six versions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catagen/encoding.h"
#include "catagen/sink.h"
#include "catagen/tree.h"
#include "catagen/versions.h"

namespace catagen {

// Where the parts of a database lie in the bytes written, as offsets from its first byte: what a caller
// needs to damage a database at a chosen field or cut it at a record's end. Filled only when asked for.
struct EncodeMarks {
    uint64_t folderCount = 0;  // the u32 header fields
    uint64_t fileCount = 0;
    std::optional<uint64_t> folderDecodeSize;  // 1.6 family and 1.7.5
    uint64_t folderRecordsStart = 0;  // the first folder record, past any hierarchy block and NTFS list
    uint64_t fileRecordsStart = 0;
    // Where each filesystem entry starts (at its type), then one past the last: 1.6.7 and 1.7 only.
    std::vector<uint64_t> filesystems;
    // The 1.6 family's exclude list: where its count is, and where each entry starts, then one past the last.
    uint64_t excludeCount = 0;
    std::vector<uint64_t> excludes;
    struct Record {
        uint64_t parent =
            0;  // the u32 that names its parent; for 1.7 folders, its slot in the hierarchy block
        uint64_t name =
            0;             // its front-coded name (the suffix length); a 1.6.7 root folder's filesystem index
        uint64_t end = 0;  // one past its last byte
    };
    std::vector<Record> folders, files;
    // The value a parent field holds to name each folder: its decode offset (1.6) or its index (1.7).
    std::vector<uint32_t> folderReferences;
    // The first parent value that names nothing: the folder decode size (1.6), or folders + filesystems.
    uint32_t firstInvalidReference = 0;
};

struct EncodeOptions {
    CountForm counts = CountForm::Shortest;
    uint64_t seed = 0;             // drives the Mixed count form
    EncodeMarks* marks = nullptr;  // when set, receives where the parts of the database were written
};

// Why the folders and filesystems of `tree` cannot be written in `version`, or empty when they can.
// Files are checked while they are written, since they may be produced on demand.
std::string checkEncodable(const Tree& tree, Version version);

// Why one file cannot be written in `version`, or empty.
std::string checkFile(const Tree& tree, Version version, const Entry& file);

// Writes the whole database into `sink` and flushes it. Returns empty on success, or the reason the tree
// cannot be written; the sink then holds a partial database that must be thrown away.
std::string encodeDatabase(const Tree& tree, Version version, const EncodeOptions& options, ByteSink& sink);

// The same into a string; throws std::invalid_argument when the tree cannot be written.
std::string encodeDatabase(const Tree& tree, Version version, const EncodeOptions& options = {});

// The longest name each version can store: 1.6 names have one-byte counts.
inline constexpr size_t kMaxOldFamilyName = 255;

}  // namespace catagen
