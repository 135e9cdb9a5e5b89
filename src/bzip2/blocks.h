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

// What the library makes of a one-block stream: the whole of it, valid, or a failure, found either before
// the block gave any byte (in its header, tables or coded symbols, or for want of more input) or after.
enum class OneBlockVerdict { whole, failedAfterBytes, failedBeforeBytes };
struct OneBlockOutcome {
    OneBlockVerdict verdict;
    size_t size;  // the decoded bytes of a whole stream
};

// Decodes a one-block stream only to learn its verdict and length, keeping none of its bytes. A stream that
// gives more than maxOutput bytes is no whole one.
OneBlockOutcome measureOneBlockStream(const std::vector<uint8_t>& stream, size_t maxOutput);

// Decodes a one-block stream of a measured `size` into output; true when it was whole again.
bool decodeOneBlockStreamInto(const std::vector<uint8_t>& stream, uint8_t* output, size_t size);

// Both in turn: false unless the library takes all of it as one whole, valid stream whose output is at
// most maxOutput bytes, which `output` then holds.
bool decodeOneBlockStream(const std::vector<uint8_t>& stream, std::vector<uint8_t>& output, size_t maxOutput);

// The start of a stream on which the library can be set going at a block boundary of another stream: the
// header for `level`, then a carrier block of a few bytes whose check is `combinedCrc`. The library folds
// every block's check into its stream check, starting from 0, so after the carrier its stream check stands
// where the original's stood before the block the restart begins at. The carrier ends `bitOffset` (0..7)
// bits into its last byte, which `bytes` holds in its top bits: the original's bytes from the one holding
// the restart block's first bit then follow unshifted, and its end reads exactly as the original's does.
struct RestartHead {
    std::vector<uint8_t> bytes;
    size_t decodedBytes = 0;  // what the carrier decodes to, which the caller skips
};
// False when the library could not compress the carrier (no memory) or no length ended at that bit.
bool restartHead(int level, uint32_t combinedCrc, int bitOffset, RestartHead& head);

}  // namespace catadump
