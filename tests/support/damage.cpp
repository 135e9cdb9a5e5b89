#include "support/damage.h"

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

std::string overwriteU32(std::string bytes, uint64_t at, uint32_t value) {
    if (at + 4 > bytes.size()) throw std::out_of_range("u32 field past the end of the database");
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

std::string restateCount(std::string bytes, uint64_t at, uint32_t value, Version version) {
    if (at >= bytes.size()) throw std::out_of_range("count past the end of the database");
    if (static_cast<uint8_t>(bytes[at]) == 255) throw std::invalid_argument("only short counts are restated");
    if (isQwtb(version)) {
        if (value > 255) throw std::invalid_argument("1.6 counts are single bytes");
        bytes[at] = static_cast<char>(value);
    } else if (value < 255) {
        bytes[at] = static_cast<char>(value);
    } else {
        bytes[at] = static_cast<char>(255);
        std::string wide(4, '\0');
        for (int i = 0; i < 4; ++i) wide[i] = static_cast<char>(value >> (8 * i));
        bytes.insert(at + 1, wide);
    }
    return bytes;
}

} // namespace catadump::test
