// Writing a tree as a database of one of the six versions.
#pragma once

#include <cstdint>
#include <string>

#include "catagen/encoding.h"
#include "catagen/sink.h"
#include "catagen/tree.h"
#include "catagen/versions.h"

namespace catagen {

struct EncodeOptions {
    CountForm counts = CountForm::Shortest;
    uint64_t seed = 0; // drives the Mixed count form
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

} // namespace catagen
