#include "input/field_encodings.h"

#include "io/run_context.h"

namespace catadump {

std::string readCountedString(DatabaseStream& stream) {
    uint32_t length = readCompactCount(stream);
    if (length == 0xFFFFFFFFu) {
        fatal("bad string size -1\n");  // the length printed as a signed number
    }
    std::string text;
    bool complete = readPieces(stream, length, [&text](const uint8_t* piece, size_t size) {
        text.append(reinterpret_cast<const char*>(piece), size);
    });
    if (!complete) text.clear();  // the whole read counts as zeroes
    return text;
}

void skipBlobList(DatabaseStream& stream) {
    uint32_t items = readCompactCount(stream);
    for (uint32_t i = 0; i < items && !failed(stream); ++i) {
        readU8(stream);
        uint32_t length = readCompactCount(stream);
        skipStreamBytes(stream, length);
    }
}

}  // namespace catadump
