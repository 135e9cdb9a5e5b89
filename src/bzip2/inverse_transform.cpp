// Stage two of the block decoder: the inverse transform, which turns the block's bytes back into its text,
// and the length of the text once the initial run-length stage is undone. The transform is one long chain
// of dependent loads, the slowest step of a block; it is spread over many chains that run side by side.
#include "bzip2/block_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <vector>

#include "bzip2/bits.h"
#include "bzip2/run_length.h"

namespace catadump {

namespace {

constexpr uint32_t chainStart = 0x80000000u;  // marks a link where one of the chains below begins
constexpr uint32_t linkMask = 0x007FFFFFu;    // the link in bits 8..30, below the mark
constexpr int chainCount = 256;

// to[0, n) = from[0, n) in reverse order, eight bytes at a time.
void copyReversed(uint8_t* to, const uint8_t* from, size_t n) {
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // A big-endian load of eight bytes, stored in the machine's order, writes them reversed.
        for (; i + 8 <= n; i += 8) store64(to + n - 8 - i, loadBig64(from + i));
    }
    for (; i < n; ++i) to[n - 1 - i] = from[i];
}

// The inverse transform follows a chain of links through the whole block, one cache miss per byte, each
// waiting for the one before. Each entry of tt holds the byte of its place in the stored column and the link
// to the place of the byte before it in the text, so the chain from origPtr gives the text from its last
// byte back to its first. To keep many misses in flight it starts chains at many links at once, each
// running until it meets another's start, and then joins their pieces in the order they link up. The
// chains' lengths vary a lot, and while the last long ones run alone few misses are in flight: many short
// chains keep that tail short. Its bytes are exactly those of following the one chain from origPtr. False
// when the links do not form the single cycle a real block has.
bool inverseTransform(uint32_t* tt, uint32_t blockLength, uint32_t origPtr, Bzip2BlockScratch& scratch) {
    struct Running {
        uint8_t* out;    // where its next byte goes, in its piece
        uint32_t entry;  // the entry it stands on
        uint32_t room;   // bytes left in its piece
        uint32_t chain;
    };
    struct Start {
        uint32_t link;
        uint32_t chain;
        bool operator<(const Start& other) const { return link < other.link; }
    };
    std::array<Running, chainCount> running;
    std::array<Start, chainCount> starts;
    std::array<int, chainCount> next;  // the chain whose start each chain met
    if (scratch.pieces.size() < chainCount) scratch.pieces.resize(chainCount);
    // Room for a chain's share; a longer chain gets twice as much each time it runs out.
    const auto room = static_cast<uint32_t>(size_t{blockLength} / chainCount + 64);
    uint32_t count = 0;
    auto begin = [&](uint32_t link) {
        if (tt[link] & chainStart) return;
        std::vector<uint8_t>& piece = scratch.pieces[count];
        // A piece that grew far for a long chain of an earlier block gives its memory back.
        if (piece.capacity() > 4 * size_t{room}) std::vector<uint8_t>().swap(piece);
        if (piece.size() < room) piece.resize(room);
        tt[link] |= chainStart;
        starts[count] = {link, count};
        running[count] = {piece.data(), tt[link], static_cast<uint32_t>(piece.size()), count};
        next[count] = -1;
        ++count;
    };
    begin(origPtr);
    for (int k = 1; k < chainCount; ++k)
        begin(static_cast<uint32_t>(uint64_t{blockLength} * static_cast<uint64_t>(k) / chainCount));
    std::sort(starts.begin(), starts.begin() + count);

    uint32_t active = count;
    uint64_t steps = 0;
    while (active > 0) {
        steps += active;
        if (steps > uint64_t{blockLength}) return false;  // a chain that never meets a start
        for (uint32_t a = 0; a < active;) {
            Running& chain = running[a];
            if (chain.room == 0) [[unlikely]] {
                std::vector<uint8_t>& piece = scratch.pieces[chain.chain];
                size_t used = piece.size();
                piece.resize(2 * used);
                chain.out = piece.data() + used;
                chain.room = static_cast<uint32_t>(piece.size() - used);
            }
            *chain.out++ = static_cast<uint8_t>(chain.entry);
            --chain.room;
            uint32_t link = (chain.entry >> 8) & linkMask;
            uint32_t entry = tt[link];
            chain.entry = entry;
            if (entry & chainStart) [[unlikely]] {
                auto met = std::lower_bound(starts.begin(), starts.begin() + count, Start{link, 0});
                next[chain.chain] = static_cast<int>(met->chain);
                std::vector<uint8_t>& piece = scratch.pieces[chain.chain];
                piece.resize(static_cast<size_t>(chain.out - piece.data()));  // its length, for the join
                chain = running[--active];
            } else {
                ++a;
            }
        }
    }
    for (uint32_t c = 0; c < count; ++c) tt[starts[c].link] &= ~chainStart;

    // Join the pieces from the chain that began at origPtr, which gives the last bytes of the text: each
    // piece goes, reversed, before the one joined last. It must take in every chain once.
    size_t joined = 0;
    int c = 0;
    for (uint32_t visited = 0; visited < count; ++visited) {
        const std::vector<uint8_t>& piece = scratch.pieces[static_cast<size_t>(c)];
        if (joined + piece.size() > blockLength) return false;
        joined += piece.size();
        copyReversed(scratch.text.data() + blockLength - joined, piece.data(), piece.size());
        c = next[static_cast<size_t>(c)];
        if (c < 0 || (c == 0) != (visited == count - 1)) return false;
    }
    return joined == blockLength;
}

}  // namespace

bool measureBzip2Block(Bzip2BlockScratch& scratch, size_t& length) {
    uint32_t* tt = scratch.tt.data();
    const uint32_t blockLength = scratch.blockLength;
    // Links: the k-th b of the stored column is the k-th b of the sorted column, which starts where the
    // bytes below b end. Each entry gets its own link, in one pass in order through the table.
    std::array<uint32_t, 256> next{};
    uint32_t sum = 0;
    for (int b = 0; b < 256; ++b) {
        next[b] = sum;
        sum += scratch.counts[b];
    }
    for (uint32_t i = 0; i < blockLength; ++i) {
        uint32_t b = tt[i] & 0xFF;
        tt[i] = b | next[b]++ << 8;
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
