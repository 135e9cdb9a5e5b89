// The inputs of the collection forms: every operand is a database, "-" (standard input) or a folder, which
// is searched through its subfolders for files. The inputs come in operand order, a folder's entries sorted
// by name, so the same operands give the same inputs on every run. Links to folders are not followed (so
// no loop of links is ever walked); links to files are. Files found in folders are candidates: a conversion
// takes one only when its content is a database.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace catadump {

struct FoundInput {
    std::string source;  // the path by which it was found: the operand, joined with the path below it
    std::string below;   // its path below its operand: its own name for an operand that is a file
    bool inFolder = false;
    bool standardInput = false;
    std::string problem;  // a folder that could not be read: the input is only this error
};

struct FoundInputs {
    std::vector<FoundInput> inputs;
    uint64_t skipped = 0;  // entries of folders that are no files (devices, pipes, sockets, broken links)
};

// Whether `path` names a file that is already there and is one of the operands: an output there would
// empty an input before it is read.
bool isOneOfTheInputs(const std::string& path, const std::vector<std::string>& operands);

// Finds the inputs of the operands; paths in `excluded` (the outputs of the run) are passed over.
FoundInputs findInputs(const std::vector<std::string>& operands,
                       const std::vector<std::filesystem::path>& excluded);

}  // namespace catadump
