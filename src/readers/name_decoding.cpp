#include "readers/name_decoding.h"

#include <algorithm>

#include "input/field_encodings.h"
#include "io/run_context.h"

namespace catadump {

bool decodeFrontCodedName(DatabaseStream& stream, NameState& state, NameList list, CountWidth width) {
    auto readCount = [&stream, width]() -> uint32_t {
        return width == CountWidth::compact ? readCompactCount(stream) : readU8(stream);
    };
    uint32_t suffixLength = readCount();
    if (suffixLength == 0) {  // the previous name again; no strip count follows
        state.kept = state.name.size();
        return true;
    }
    uint32_t stripCount = readCount();
    size_t previousLength = state.name.size();
    if (stripCount > previousLength) {
        return reportCorrupt(*stream.run,
                             list == NameList::folders ? "Invalid folder code offset %d > %d.\n"
                                                       : "Invalid file code offset %d > %d.\n",
                             static_cast<int>(stripCount), static_cast<int>(previousLength));
    }
    state.kept = previousLength - stripCount;
    state.name.resize(state.kept);
    bool complete = readPieces(stream, suffixLength, [&state](const uint8_t* piece, size_t n) {
        state.name.append(reinterpret_cast<const char*>(piece), n);
    });
    // A suffix that could not be read counts as zeroes; the reader stops after this record.
    if (!complete)
        std::fill(state.name.begin() + static_cast<std::ptrdiff_t>(state.kept), state.name.end(), '\0');
    // A zero byte among the kept ones still ends the visible name; otherwise the suffix decides.
    if (state.visible >= state.kept)
        state.visible = state.kept + firstZero(std::string_view(state.name).substr(state.kept));
    return true;
}

}  // namespace catadump
