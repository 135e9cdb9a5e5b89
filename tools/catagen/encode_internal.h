// The body encoders behind encodeDatabase, one per layout. Each writes everything after the version word;
// the tree has passed checkEncodable, and files are checked as they are met.
#pragma once

#include <string>
#include <vector>

#include "catagen/encode.h"

namespace catagen {

struct EncodeContext {
    Version version;
    CountWriter counts;
    std::vector<uint32_t> rootFilesystem; // per folder
};

std::string encodeBody166(const Tree& tree, EncodeContext& context, ByteSink& sink);
std::string encodeBody167(const Tree& tree, EncodeContext& context, ByteSink& sink);
std::string encodeBodyEarly(const Tree& tree, EncodeContext& context, ByteSink& sink); // 1.7.5, 1.7.8
std::string encodeBodyLate(const Tree& tree, EncodeContext& context, ByteSink& sink);  // 1.7.17, 1.7.20

} // namespace catagen
