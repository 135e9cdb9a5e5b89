// Seeded synthetic trees. The same parameters give the same tree, byte for byte, on every run. Folders
// are held in memory; files are made on demand, folder by folder, each folder from its own seed, so a
// tree of millions of files costs only its folders' memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catagen/tree.h"

namespace catagen {

struct SyntheticParams {
    uint64_t seed = 1;
    uint32_t folders = 100;
    uint32_t files = 1000;
    uint32_t depth = 6;  // most folders in one path, the root folder included
    uint32_t minNameLength = 1;
    uint32_t maxNameLength = 40;
    uint32_t filesystems = 2;
    std::vector<uint32_t> filesystemTypes{0, 2};  // taken in turn by the filesystems
    uint32_t flags = 0x3F;
    // Percent of non-root folders that trade places with their parent in folder order, so the parent
    // comes after its child. Any value above 0 makes at least one such pair.
    uint32_t forwardReferencePercent = 0;
    // Percent of files that hang directly from a filesystem (1.7 family only). With no folders at all,
    // every file does.
    uint32_t filesystemFilePercent = 0;
    // Folders that form one chain, each inside the one before, under the first root folder; the depth
    // limit does not apply to them. For the very deep paths that ordinary shapes never reach.
    uint32_t chain = 0;
    uint32_t blobItems = 0;  // junk items in each of the three blob lists
    bool oddBytes = true;    // quotes, commas and 8-bit bytes in some names
};

// Why the parameters cannot make a tree, or empty.
std::string checkSyntheticParams(const SyntheticParams& params);

// The tree; its files come from a producer. Call checkSyntheticParams first.
Tree makeSyntheticTree(const SyntheticParams& params);

// Windows FILETIME of a POSIX time: 100 ns ticks since 1601-01-01; times before 1601 give 0.
uint64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds);

}  // namespace catagen
