#include "support/damage.h"

#include <algorithm>
#include <stdexcept>

namespace catadump::test {

MarkedDatabase encodeMarked(const catagen::Tree& tree, Version version, catagen::CountForm counts) {
    MarkedDatabase db;
    catagen::EncodeOptions options;
    options.counts = counts;
    options.seed = 7;
    options.marks = &db.marks;
    db.bytes = catagen::encodeDatabase(tree, version, options);
    return db;
}

std::string applyPatches(std::string bytes, std::vector<Patch> patches) {
    // From the last change to the first, so that every position still names the unchanged bytes; at one
    // position the replacement goes first and an insertion then lands before it.
    std::sort(patches.begin(), patches.end(), [](const Patch& a, const Patch& b) {
        return a.at != b.at ? a.at > b.at : a.length > b.length;
    });
    uint64_t limit = bytes.size();
    for (const Patch& patch : patches) {
        if (patch.at + patch.length > limit) throw std::out_of_range("changes overlap or pass the end");
        bytes.replace(patch.at, patch.length, patch.bytes);
        limit = patch.at;
    }
    return bytes;
}

uint64_t patchedPosition(uint64_t at, const std::vector<Patch>& patches) {
    uint64_t moved = at;
    for (const Patch& patch : patches) {
        if (patch.at < at && at < patch.at + patch.length) {
            moved += patch.at + patch.bytes.size() - at;  // inside what was replaced: its replacement's end
        } else if (patch.at < at || (patch.at == at && patch.length == 0)) {
            moved += patch.bytes.size() - patch.length;
        }
    }
    return moved;
}

std::string u32Bytes(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

std::string countBytes(uint32_t value, bool longForm) {
    if (value < 255 && !longForm) return std::string(1, static_cast<char>(value));
    return '\xFF' + u32Bytes(value);
}

uint64_t countLength(std::string_view bytes, uint64_t at) {
    if (at >= bytes.size()) throw std::out_of_range("count past the end of the database");
    return static_cast<uint8_t>(bytes[at]) == 255 ? 5 : 1;
}

std::string overwriteU32(std::string bytes, uint64_t at, uint32_t value) {
    return applyPatches(std::move(bytes), {{at, 4, u32Bytes(value)}});
}

std::string restateCount(std::string bytes, uint64_t at, uint32_t value, Version version) {
    if (countLength(bytes, at) != 1) throw std::invalid_argument("only short counts are restated");
    if (isQwtb(version) && value > 255) throw std::invalid_argument("1.6 counts are single bytes");
    std::string count = isQwtb(version) ? std::string(1, static_cast<char>(value)) : countBytes(value);
    return applyPatches(std::move(bytes), {{at, 1, count}});
}

}  // namespace catadump::test
