// Our own decoder of one bzip2 block, for the worker threads: the library's block decoder is what limits
// the threaded path, and a block decoder written for speed does the same work in about half the time.
//
// It is deliberately narrow. It takes only blocks it can check in full: anything out of range or unusual
// (a randomised block, an incomplete or over-full Huffman code, too many selectors, a block longer than the
// stream's level allows, a dangling run-length count, coded data that does not end exactly where the next
// magic begins, a CRC mismatch) makes it say "not decoded", and the caller gives that block to the library,
// which then decides and reports as it always has. On every block it does take, its bytes are the library's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace catadump {

// Working memory of the decoder, kept from one block to the next so that a worker allocates it once.
// It works in three stages, so that a caller learns what the library would make of the block, and how many
// bytes it decodes to, before it finds room for them: the coded symbols, then the inverse transform and the
// decoded length, then the bytes themselves and their check.
struct Bzip2BlockScratch {
    std::vector<uint32_t> tt;   // the block's bytes before the inverse transform, then its links
    std::vector<uint8_t> text;  // the block after the inverse transform
    std::vector<std::vector<uint8_t>> pieces;  // the inverse transform's pieces, one per chain
    std::array<uint32_t, 256> counts{};        // occurrences of each byte value in the block
    uint32_t blockLength = 0;                  // bytes before the initial run-length stage is undone
    uint32_t origPtr = 0;
    uint32_t storedCrc = 0;
};

// The coded bits of one block: [beginBit, endBit) of bytes[0, size), from its block magic to where the next
// magic begins, and `level`, the stream header's digit, 1..9, which bounds the block's length. With
// `openEnd`, the data was cut off after the block's start, no magic followed it, and its coded data may end
// anywhere up to endBit.
struct CodedBlock {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    uint64_t beginBit = 0;
    uint64_t endBit = 0;
    int level = 0;
    bool openEnd = false;
};

// Stage one: the header, the tables and the coded symbols of the block. True when every field is in range,
// the codes are complete and the coded data ends exactly at endBit. The library, given such a block,
// decodes its symbols without complaint and starts producing its bytes: whatever may still be wrong with it
// (its check) shows only as they come out.
bool decodeBzip2Symbols(const CodedBlock& block, Bzip2BlockScratch& scratch);

// Stage two: the inverse transform, and the length of the block once its initial run-length stage is
// undone. False when the links do not form one cycle or four equal bytes end the block without a count.
bool measureBzip2Block(Bzip2BlockScratch& scratch, size_t& length);

// Stage three: the block's `length` bytes (as measured) into output, then its check. True when the CRC
// matches the stored one.
bool finishBzip2Block(const Bzip2BlockScratch& scratch, uint8_t* output, size_t length);

// The three stages in turn. On success `output` holds the block's bytes in [0, length) (it grows as needed
// and is never shrunk, so a recycled buffer keeps its pages) and the result is true; on any anomaly the
// result is false and `output` holds nothing of value.
bool decodeBzip2Block(const CodedBlock& block, Bzip2BlockScratch& scratch, std::vector<uint8_t>& output,
                      size_t& length);

}  // namespace catadump
