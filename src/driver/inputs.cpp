#include "driver/inputs.h"

#include <algorithm>
#include <system_error>

namespace catadump {

namespace {

namespace fs = std::filesystem;

bool isExcluded(const fs::path& path, const std::vector<fs::path>& excluded) {
    std::error_code error;
    for (const fs::path& output : excluded) {
        if (fs::equivalent(path, output, error)) return true;
    }
    return false;
}

struct Walk {
    const std::vector<fs::path>& excluded;
    FoundInputs& found;
};

// Adds the files below `folder`, depth first, each folder's entries in the order of their names.
void walkFolder(Walk& walk, const fs::path& folder, const fs::path& below) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(*it);
    }
    if (error) {
        FoundInput input;
        input.source = folder.string();
        input.below = below.string();
        input.problem = "could not read the folder (" + error.message() + ")";
        walk.found.inputs.push_back(std::move(input));
        return;
    }
    std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
        return a.path().filename().native() < b.path().filename().native();
    });
    for (const fs::directory_entry& entry : entries) {
        const fs::path& path = entry.path();
        fs::path inside = below / path.filename();
        if (!walk.excluded.empty() && isExcluded(path, walk.excluded)) continue;
        bool link = entry.is_symlink(error);
        fs::file_status status = entry.status(error);  // what a link points to
        if (fs::is_directory(status)) {
            if (!link) walkFolder(walk, path, inside);  // a link to a folder is not followed
        } else if (fs::is_regular_file(status)) {
            FoundInput input;
            input.source = path.string();
            input.below = inside.string();
            input.inFolder = true;
            walk.found.inputs.push_back(std::move(input));
        } else {
            ++walk.found.skipped;  // a device, a pipe, a socket or a broken link: nothing to read
        }
    }
}

}  // namespace

bool isOneOfTheInputs(const std::string& path, const std::vector<std::string>& operands) {
    std::error_code error;
    if (path == "-" || !fs::exists(path, error)) return false;
    for (const std::string& operand : operands) {
        if (operand != "-" && fs::equivalent(path, operand, error)) return true;
    }
    return false;
}

FoundInputs findInputs(const std::vector<std::string>& operands, const std::vector<fs::path>& excluded) {
    FoundInputs found;
    Walk walk{excluded, found};
    for (const std::string& operand : operands) {
        std::error_code error;
        if (operand != "-" && fs::is_directory(fs::path(operand), error)) {
            walkFolder(walk, fs::path(operand), fs::path());
            continue;
        }
        // A file, standard input, or a path that names nothing: an input, which may fail to open.
        FoundInput input;
        input.source = operand;
        input.standardInput = operand == "-";
        input.below = input.standardInput ? std::string("stdin") : fs::path(operand).filename().string();
        found.inputs.push_back(std::move(input));
    }
    return found;
}

}  // namespace catadump
