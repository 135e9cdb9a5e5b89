// The bzip2 checks: the CRC-32 of a block's bytes, the stream check that folds the blocks' CRCs together,
// and the four bytes that steer a CRC to a wanted value, with which a restart's carrier block carries the
// stream check of the blocks before it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace catadump {

// The bzip2 CRC-32 (polynomial 0x04c11db7, most significant bit first) of `size` bytes, continuing `crc`
// (start with 0xffffffff, invert at the end).
uint32_t updateBzip2Crc(uint32_t crc, const uint8_t* bytes, size_t size);

// The stream's check: every block's CRC folded in, in order, as the library does.
inline uint32_t combineBzip2Crc(uint32_t combined, uint32_t blockCrc) {
    return (combined << 1 | combined >> 31) ^ blockCrc;
}

// The four bytes that, following bytes which left the CRC register at `state` (started at 0xffffffff, not
// yet inverted), make the bzip2 CRC of the whole `wantedCrc`; as a big-endian number.
uint32_t bzip2CrcPreimage(uint32_t state, uint32_t wantedCrc);

}  // namespace catadump
