// The database's field encodings: compact counts, counted strings, byte skips and blob lists.
// All of them read through the DatabaseStream and inherit its rule: a failed read yields zeroes and sets
// the read-error flag.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "input/database_stream.h"

namespace catadump {

// One byte 0..254 is the value; the byte 255 is followed by a u32 that is the value (any value).
inline uint32_t readCompactCount(DatabaseStream& stream) {
    uint8_t first = readU8(stream);
    return first == 255 ? readU32(stream) : first;
}

// A compact count n, then n bytes. The length 0xFFFFFFFF ends the process ("bad string size -1").
// Storage grows with the bytes actually present, so a claimed length larger than the data costs nothing;
// when the data runs out the whole string reads as zeroes, that is as the empty string.
std::string readCountedString(DatabaseStream& stream);

// A compact count of items, each a byte, a compact count L and L bytes, all dropped. Stops at the first
// item that meets the read-error flag, since the rest would be zeroes.
void skipBlobList(DatabaseStream& stream);

// The part of a stored name that reaches the output and the console: up to its first zero byte.
inline std::string_view visibleText(std::string_view bytes) {
    size_t zero = bytes.find('\0');
    return zero == std::string_view::npos ? bytes : bytes.substr(0, zero);
}

}  // namespace catadump
