// Stage two of the block decoder: the inverse transform, which turns the block's bytes back into its text,
// and the length of the text once the initial run-length stage is undone. The transform is one long chain
// of dependent loads, the slowest step of a block; it is spread over many chains that run side by side.
#include "bzip2/block_decoder.h"

#include <array>
#include <cstring>
#include <vector>

#include "bzip2/run_length.h"

namespace catadump {

namespace {

constexpr uint32_t chainStart = 0x80000000u;  // marks a link where one of the chains below begins
constexpr uint32_t linkMask = 0x007FFFFFu;    // the link in bits 8..30, below the mark
constexpr int chainCount = 48;

// The inverse transform follows a chain of links through the whole block, one cache miss per byte, each
// waiting for the one before. To keep many misses in flight it starts chains at several links at once,
// each running until it meets another's start, and then joins their pieces in the order they link up.
// Its bytes are exactly those of following the one chain from origPtr. False when the links do not form
// the single cycle a real block has.
bool inverseTransform(uint32_t* tt, uint32_t blockLength, uint32_t origPtr, Bzip2BlockScratch& scratch) {
    struct Chain {
        uint32_t start;  // the link where it began
        uint32_t entry;  // the entry it stands on
        int next = -1;   // the chain whose start it met
    };
    std::array<Chain, chainCount> chains;
    int count = 0;
    auto begin = [&](uint32_t link) {
        if (tt[link] & chainStart) return;
        tt[link] |= chainStart;
        chains[static_cast<size_t>(count++)] = {link, tt[link], -1};
    };
    begin((tt[origPtr] >> 8) & linkMask);
    for (int k = 1; k < chainCount; ++k)
        begin(static_cast<uint32_t>(uint64_t{blockLength} * static_cast<uint64_t>(k) / chainCount));

    if (scratch.pieces.size() < chainCount) scratch.pieces.resize(chainCount);
    std::array<int, chainCount> active;
    for (int c = 0; c < count; ++c) {
        active[static_cast<size_t>(c)] = c;
        scratch.pieces[static_cast<size_t>(c)].clear();
    }
    int running = count;
    uint64_t steps = 0;
    while (running > 0) {
        steps += static_cast<uint64_t>(running);
        if (steps > uint64_t{blockLength}) return false;  // a chain that never meets a start
        for (int a = 0; a < running;) {
            Chain& chain = chains[static_cast<size_t>(active[static_cast<size_t>(a)])];
            std::vector<uint8_t>& piece = scratch.pieces[static_cast<size_t>(active[static_cast<size_t>(a)])];
            piece.push_back(static_cast<uint8_t>(chain.entry));
            uint32_t link = (chain.entry >> 8) & linkMask;
            uint32_t entry = tt[link];
            chain.entry = entry;
            if (entry & chainStart) {
                for (int c = 0; c < count; ++c) {
                    if (chains[static_cast<size_t>(c)].start == link) chain.next = c;
                }
                active[static_cast<size_t>(a)] = active[static_cast<size_t>(--running)];
            } else {
                ++a;
            }
        }
    }
    for (int c = 0; c < count; ++c) tt[chains[static_cast<size_t>(c)].start] &= ~chainStart;

    // Join the pieces from the chain that began at the first byte; it must take in every chain once.
    size_t joined = 0;
    int c = 0;
    for (int visited = 0; visited < count; ++visited) {
        const std::vector<uint8_t>& piece = scratch.pieces[static_cast<size_t>(c)];
        if (joined + piece.size() > blockLength) return false;
        std::memcpy(scratch.text.data() + joined, piece.data(), piece.size());
        joined += piece.size();
        c = chains[static_cast<size_t>(c)].next;
        if (c < 0 || (c == 0) != (visited == count - 1)) return false;
    }
    return joined == blockLength;
}

}  // namespace

bool measureBzip2Block(Bzip2BlockScratch& scratch, size_t& length) {
    uint32_t* tt = scratch.tt.data();
    const uint32_t blockLength = scratch.blockLength;
    // Links: the k-th occurrence of byte b in the sorted column points at the k-th b of the stored column.
    std::array<uint32_t, 256> next{};
    uint32_t sum = 0;
    for (int b = 0; b < 256; ++b) {
        next[b] = sum;
        sum += scratch.counts[b];
    }
    for (uint32_t i = 0; i < blockLength; ++i) {
        uint32_t b = tt[i] & 0xFF;
        tt[next[b]++] |= i << 8;
    }
    if (!inverseTransform(tt, blockLength, scratch.origPtr, scratch)) return false;
    size_t total = 0;
    bool complete =
        walkRuns(scratch.text.data(), blockLength,
                 [&](const uint8_t*, size_t literal, uint8_t, size_t copies) { total += literal + copies; });
    length = total;
    return complete;
}

}  // namespace catadump
