// A tiny reader of the generator's output, written for the tests from the format's rules and sharing no
// code with the generator: fixed-width little-endian fields, compact counts and front-coded names.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace catagen_test {

struct ByteReader {
    std::string_view data;
    size_t at = 0;
};

inline uint64_t readLe(ByteReader& r, int width) {
    if (r.at + static_cast<size_t>(width) > r.data.size()) throw std::out_of_range("read past the end");
    uint64_t value = 0;
    for (int i = 0; i < width; ++i)
        value |= uint64_t{static_cast<unsigned char>(r.data[r.at + static_cast<size_t>(i)])} << (8 * i);
    r.at += static_cast<size_t>(width);
    return value;
}
inline uint8_t u8(ByteReader& r) { return static_cast<uint8_t>(readLe(r, 1)); }
inline uint32_t u32(ByteReader& r) { return static_cast<uint32_t>(readLe(r, 4)); }
inline uint64_t u64(ByteReader& r) { return readLe(r, 8); }

inline std::string bytes(ByteReader& r, size_t n) {
    if (r.at + n > r.data.size()) throw std::out_of_range("read past the end");
    std::string out(r.data.substr(r.at, n));
    r.at += n;
    return out;
}

inline uint32_t compact(ByteReader& r) {
    uint8_t first = u8(r);
    return first == 255 ? u32(r) : first;
}

inline std::string countedString(ByteReader& r) { return bytes(r, compact(r)); }

// One front-coded name against `previous`, which it replaces. `oneByteCounts` for the 1.6 family.
inline std::string frontCodedName(ByteReader& r, std::string& previous, bool oneByteCounts) {
    uint32_t suffixLength = oneByteCounts ? u8(r) : compact(r);
    if (suffixLength == 0) return previous;
    uint32_t strip = oneByteCounts ? u8(r) : compact(r);
    if (strip > previous.size()) throw std::runtime_error("strip count beyond the previous name");
    previous = previous.substr(0, previous.size() - strip) + bytes(r, suffixLength);
    return previous;
}

}  // namespace catagen_test
