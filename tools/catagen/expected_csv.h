// The CSV the converter must write for a tree written in a given version, computed from the tree alone.
#pragma once

#include <string>

#include "catagen/sink.h"
#include "catagen/tree.h"
#include "catagen/versions.h"

namespace catagen {

// The header line, then one row per folder in folder order, then one row per file in file order. The
// tree must be encodable in `version` (checkEncodable and checkFile).
void writeExpectedCsv(const Tree& tree, Version version, ByteSink& sink);
std::string expectedCsv(const Tree& tree, Version version);

}  // namespace catagen
