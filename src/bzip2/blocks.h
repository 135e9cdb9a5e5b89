// Block boundaries of a bzip2 stream, for decoding its blocks independently.
//
// Every block begins with the 48-bit block magic and the stream ends with the 48-bit end magic, both at
// any bit position (the format is a bit stream, most significant bit first). A block lifted out of the
// stream and given a stream header, the end magic and its own CRC as the combined CRC is a complete
// one-block stream that the library decodes on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace catadump {

inline constexpr uint64_t bzip2BlockMagic = 0x314159265359;
inline constexpr uint64_t bzip2EndMagic = 0x177245385090;

enum class MagicKind { block, end };

struct MagicMark {
    uint64_t bit;  // position of the magic's first bit, counted from bit 0 of `bytes`
    MagicKind kind;
};

// Appends every block or end magic that starts at a bit in [fromBit, the last bit where a whole magic
// still fits in `size` bytes), in increasing order.
void findMagics(const uint8_t* bytes, size_t size, uint64_t fromBit, std::vector<MagicMark>& marks);

// The block size digit of a stream header "BZh1".."BZh9" at the start of `bytes`; 0 for anything else.
int bzip2StreamLevel(const uint8_t* bytes, size_t size);

// The one-block stream for the block whose bits are [beginBit, endBit) of `bytes` (beginning at its block
// magic, ending where the next magic begins), with the block size digit `level` of the stream it came from,
// so that the library allows the block exactly the length the whole stream allows it.
std::vector<uint8_t> oneBlockStream(const uint8_t* bytes, uint64_t beginBit, uint64_t endBit, int level = 9);

// Decodes a one-block stream. False unless the library takes all of it as one whole, valid stream whose
// output is at most maxOutput bytes.
bool decodeOneBlockStream(const std::vector<uint8_t>& stream, std::vector<uint8_t>& output, size_t maxOutput);

} // namespace catadump
