// Databases written by the generator's encoder together with the marks of where their parts lie, and the
// ways the tests damage them at a mark: overwrite a header field or a parent, restate a count, or put any
// bytes of their own in place of a field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catagen/encode.h"
#include "catagen/tree.h"
#include "support/versions.h"

namespace catadump::test {

struct MarkedDatabase {
    std::string bytes;
    catagen::EncodeMarks marks;
};

MarkedDatabase encodeMarked(const catagen::Tree& tree, Version version,
                            catagen::CountForm counts = catagen::CountForm::Shortest);

// One change to a database: the `length` bytes at `at` give way to `bytes` (an insertion when `length`
// is 0). Positions are those of the bytes before any change, so changes can be gathered from the marks
// in any order.
struct Patch {
    uint64_t at = 0;
    uint64_t length = 0;
    std::string bytes;
};

// Applies changes that do not overlap.
std::string applyPatches(std::string bytes, std::vector<Patch> patches);

// Where a position of the unchanged bytes lies after the changes: moved by every change that ends
// before it, and by an insertion at it (what is inserted at a mark comes before the part it marks); a
// position inside replaced bytes lands at the end of their replacement.
uint64_t patchedPosition(uint64_t at, const std::vector<Patch>& patches);

std::string u32Bytes(uint32_t value);
// A compact count: one byte below 255, otherwise 255 and a u32; `longForm` takes the second form always.
std::string countBytes(uint32_t value, bool longForm = false);
// How many bytes the compact count at `at` takes.
uint64_t countLength(std::string_view bytes, uint64_t at);

// The bytes with the little-endian u32 at `at` replaced by `value`.
std::string overwriteU32(std::string bytes, uint64_t at, uint32_t value);

// The bytes with the count at `at` (a byte in 1.6, a short compact count in 1.7) replaced by `value`:
// in 1.6 it must fit a byte; in 1.7 it takes the long form (255 and a u32) when it does not.
std::string restateCount(std::string bytes, uint64_t at, uint32_t value, Version version);

}  // namespace catadump::test
