// The block decoder's stage one, the header and the coded symbols of a block checked in full, and the three
// stages in turn for a caller that wants a block's bytes at once.
#include "bzip2/block_decoder.h"

#include "bzip2/bit_reader.h"
#include "bzip2/block_header.h"
#include "bzip2/symbols.h"

namespace catadump {

bool decodeBzip2Symbols(const CodedBlock& block, Bzip2BlockScratch& scratch) {
    const uint64_t beginBit = block.beginBit;
    const uint64_t endBit = block.endBit;
    scratch.blockLength = 0;
    if (block.level < 1 || block.level > 9) return false;
    if (beginBit >= endBit || endBit > uint64_t{block.size} * 8) return false;
    // Magic, CRC, randomised bit, origPtr, the 16-bit map: the smallest possible block is far longer.
    if (endBit - beginBit < 48 + 32 + 1 + 24 + 16 + 16 + 3 + 15) return false;
    BitReader bits{block.bytes, static_cast<size_t>(beginBit / 8), block.size};
    bits.refill();
    bits.skip(static_cast<unsigned>(beginBit % 8));

    BlockHeader header;
    if (!readBlockHeader(bits, endBit, header)) return false;

    // The coded symbols: move-to-front indices, with runs of the front byte written in RUNA/RUNB digits.
    const uint32_t maxLength = static_cast<uint32_t>(block.level) * 100000;
    if (scratch.tt.size() < maxLength) scratch.tt.resize(maxLength);
    scratch.counts.fill(0);
    BlockSymbols symbols{scratch.tt.data(), scratch.counts.data(), maxLength};
    if (!decodeSymbols(bits, header, endBit, symbols)) return false;
    const uint32_t blockLength = symbols.length;
    // The coded data must end where the next magic begins; where none follows, within the data.
    if (block.openEnd ? bits.position() > endBit : bits.position() != endBit) return false;
    if (header.origPtr >= blockLength) return false;
    if (scratch.text.size() < blockLength) scratch.text.resize(blockLength);
    scratch.blockLength = blockLength;
    scratch.origPtr = header.origPtr;
    scratch.storedCrc = header.storedCrc;
    return true;
}

bool decodeBzip2Block(const CodedBlock& block, Bzip2BlockScratch& scratch, std::vector<uint8_t>& output,
                      size_t& length) {
    length = 0;
    size_t measured = 0;
    if (!decodeBzip2Symbols(block, scratch)) return false;
    if (!measureBzip2Block(scratch, measured)) return false;
    if (output.size() < measured) output.resize(measured);
    if (!finishBzip2Block(scratch, output.data(), measured)) return false;
    length = measured;
    return true;
}

}  // namespace catadump
