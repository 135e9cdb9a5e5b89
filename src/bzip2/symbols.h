// A block's coded symbols, decoded into the bytes that go into the inverse transform.
#pragma once

#include <cstdint>

#include "bzip2/bit_reader.h"
#include "bzip2/block_header.h"

namespace catadump {

// Where the symbols go: the block's bytes in the low byte of tt[0, length), at most maxLength of them (the
// stream's level allows no more), and in counts[0, 256) how often each byte value occurs, which the caller
// zeroes.
struct BlockSymbols {
    uint32_t* tt = nullptr;
    uint32_t* counts = nullptr;
    uint32_t maxLength = 0;
    uint32_t length = 0;  // set when the symbols decode
};

// Decodes the symbols from where `bits` stands, after the header, to the end-of-block symbol, leaving
// `bits` after it; `endBit` is where the block ends. False when they do not decode to a block within
// maxLength (a run too long, no end-of-block symbol before endBit or the selectors run out).
bool decodeSymbols(BitReader& bits, const BlockHeader& header, uint64_t endBit, BlockSymbols& symbols);

}  // namespace catadump
