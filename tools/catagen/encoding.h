// The field encodings shared by the encoders: compact counts, counted strings and front-coded names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "catagen/random.h"
#include "catagen/sink.h"

namespace catagen {

// How compact counts are written. A value of 255 or more always takes the long form (255, then a u32);
// Long uses it for every count, Mixed for a seeded random half of the small ones, to exercise the reader.
enum class CountForm { Shortest, Long, Mixed };

struct CountWriter {
    CountForm form = CountForm::Shortest;
    Rng rng;
};

inline void putCompactCount(ByteSink& sink, CountWriter& counts, uint32_t value) {
    bool useLong = value >= 255 || counts.form == CountForm::Long ||
                   (counts.form == CountForm::Mixed && (nextU64(counts.rng) & 1));
    if (useLong) {
        putU8(sink, 255);
        putU32(sink, value);
    } else {
        putU8(sink, static_cast<uint8_t>(value));
    }
}

inline void putCountedString(ByteSink& sink, CountWriter& counts, std::string_view text) {
    putCompactCount(sink, counts, static_cast<uint32_t>(text.size()));
    putText(sink, text);
}

// One name against the previous name of its list. suffixLength 0 means "the same name again", and then
// neither the strip count nor a suffix is stored.
struct FrontCode {
    size_t suffixLength = 0;
    size_t stripCount = 0;
    std::string_view suffix;
};

// Keeps the longest common prefix of the two names. A name that is a proper prefix of the previous one
// cannot keep all of itself, since a zero suffix length means "repeat"; it keeps one byte less and stores
// its last byte as the suffix. `name` must not be empty unless `previous` is.
inline FrontCode frontCode(std::string_view previous, std::string_view name) {
    if (name == previous) return {};
    size_t keep = 0;
    size_t limit = previous.size() < name.size() ? previous.size() : name.size();
    while (keep < limit && previous[keep] == name[keep]) ++keep;
    if (keep == name.size()) --keep;
    return {name.size() - keep, previous.size() - keep, name.substr(keep)};
}

// The 1.7 form: both counts are compact counts.
inline void putFrontCodedName(ByteSink& sink, CountWriter& counts, std::string& previous,
                              std::string_view name) {
    FrontCode code = frontCode(previous, name);
    putCompactCount(sink, counts, static_cast<uint32_t>(code.suffixLength));
    if (code.suffixLength != 0) {
        putCompactCount(sink, counts, static_cast<uint32_t>(code.stripCount));
        putText(sink, code.suffix);
    }
    previous.assign(name);
}

// The 1.6 form: both counts are single bytes; names of at most 255 bytes keep both within range.
inline void putByteFrontCodedName(ByteSink& sink, std::string& previous, std::string_view name) {
    FrontCode code = frontCode(previous, name);
    putU8(sink, static_cast<uint8_t>(code.suffixLength));
    if (code.suffixLength != 0) {
        putU8(sink, static_cast<uint8_t>(code.stripCount));
        putText(sink, code.suffix);
    }
    previous.assign(name);
}

}  // namespace catagen
