// libcatadump's list of a collection's inputs: the driver's own search of the operands (findInputs), and for
// each file found in a folder the dispatch's test of its content (startsAsDatabase), as the program's
// collection forms take them before converting.
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/inputs.h"
#include "io/byte_source.h"
#include "library/catadump.h"
#include "platform/platform.h"
#include "readers/dispatch.h"

struct catadump_inputs {
    catadump::FoundInputs found;
};

namespace catadump {
namespace {

// Whether the program takes the file found in a folder as an input: its content is a database. One that
// cannot be opened stays an input, whose conversion then fails to open it.
bool takenFromFolder(const FoundInput& input) {
    platform::File file;
    if (!platform::openForSequentialRead(input.source, file)) return true;
    std::vector<uint8_t> taken;
    bool database = startsAsDatabase(fileSource(file), taken);
    platform::closeFile(file);
    return database;
}

}  // namespace
}  // namespace catadump

using namespace catadump;

extern "C" {

int catadump_find_inputs(const char* const* operands, size_t count, catadump_inputs** out) {
    *out = nullptr;
    if (operands == nullptr && count > 0) {
        errno = EINVAL;
        return -1;
    }
    try {
        std::vector<std::string> paths;
        for (size_t i = 0; i < count; ++i) {
            if (operands[i] == nullptr) {
                errno = EINVAL;
                return -1;
            }
            paths.emplace_back(operands[i]);
        }
        auto found = std::make_unique<catadump_inputs>();
        FoundInputs all = findInputs(paths, {});
        found->found.skipped = all.skipped;
        for (FoundInput& input : all.inputs) {
            if (input.inFolder && input.problem.empty() && !takenFromFolder(input)) {
                ++found->found.skipped;
                continue;
            }
            found->found.inputs.push_back(std::move(input));
        }
        *out = found.release();
        return 0;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
}

size_t catadump_inputs_count(const catadump_inputs* found) { return found->found.inputs.size(); }

int catadump_input_at(const catadump_inputs* found, size_t index, catadump_input* input) {
    if (index >= found->found.inputs.size()) {
        errno = EINVAL;
        return -1;
    }
    const FoundInput& at = found->found.inputs[index];
    input->source = at.source.c_str();
    input->below = at.below.c_str();
    input->in_folder = at.inFolder ? 1 : 0;
    input->problem = at.problem.empty() ? nullptr : at.problem.c_str();
    return 0;
}

size_t catadump_inputs_skipped(const catadump_inputs* found) {
    return static_cast<size_t>(found->found.skipped);
}

void catadump_inputs_free(catadump_inputs* found) { delete found; }

}  // extern "C"
