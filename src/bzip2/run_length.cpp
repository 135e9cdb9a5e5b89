// Stage three of the block decoder: the block's bytes, with the initial run-length stage undone, written
// where the caller found room for them, and their check.
#include "bzip2/block_decoder.h"

#include <cstring>

#include "bzip2/crc.h"
#include "bzip2/run_length.h"

namespace catadump {

bool finishBzip2Block(const Bzip2BlockScratch& scratch, uint8_t* output, size_t length) {
    size_t produced = 0;
    walkRuns(scratch.text.data(), scratch.blockLength,
             [&](const uint8_t* literal, size_t n, uint8_t b, size_t copies) {
                 std::memcpy(output + produced, literal, n);
                 std::memset(output + produced + n, b, copies);
                 produced += n + copies;
             });
    return produced == length && ~updateBzip2Crc(0xFFFFFFFFu, output, length) == scratch.storedCrc;
}

}  // namespace catadump
