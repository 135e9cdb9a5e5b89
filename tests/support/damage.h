// Databases written by the generator's encoder together with the marks of where their parts lie, and the
// few ways the tests damage them at a mark: overwrite a header field or a parent, restate a count.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// The bytes with the little-endian u32 at `at` replaced by `value`.
std::string overwriteU32(std::string bytes, uint64_t at, uint32_t value);

// The bytes with the count at `at` (a byte in 1.6, a short compact count in 1.7) replaced by `value`:
// in 1.6 it must fit a byte; in 1.7 it takes the long form (255 and a u32) when it does not.
std::string restateCount(std::string bytes, uint64_t at, uint32_t value, Version version);

} // namespace catadump::test
