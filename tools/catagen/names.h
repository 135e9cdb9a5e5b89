// Realistic-looking folder and file names for synthetic trees. Siblings come as groups that share stems
// (numbered photo series, dated reports, project folders), so consecutive names share prefixes the way
// real directory listings do, and the front coding has something to keep.
#pragma once

#include <string>
#include <vector>

#include "catagen/random.h"

namespace catagen {

enum class NameKind { folder, file };

struct NameRules {
    size_t minLength = 1;
    size_t maxLength = 40;
    bool oddBytes = true;  // now and then a quote, a comma, an apostrophe or an 8-bit byte
};

// `count` sibling names, sorted bytewise, into `out` (replacing its content). Duplicates can occur, as
// they can in any listing that has been cut to a length limit. Never empty, never a zero byte or a
// backslash.
void makeSiblingNames(Rng& rng, NameKind kind, size_t count, const NameRules& rules,
                      std::vector<std::string>& out);

// A single word, for filesystem paths.
std::string pickWord(Rng& rng);

}  // namespace catagen
