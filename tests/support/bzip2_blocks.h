// Where the blocks of a bzip2 stream lie: in its bits, and in the decoded data. The recovery tests and
// bench/recovery_figures damage one block of a wrapped database and need to know which records the lost
// block held. How much input a block holds is the compressor's choice (its first run-length stage lets a
// block of 100 kB take more where bytes repeat), so each block is decoded on its own, by the compression
// library the generator uses, not by the decoder under test. Header-only, like recovered_rows.h.
#pragma once

#include <bzlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catagen/bzip2.h"

namespace catadump::test {

// A database wrapped in bzip2 blocks of 100 kB, so that a small database spans several. The wrapped
// databases read are known by "BZh9"; the header says so, which holds, as a block is never more than the
// header allows.
inline std::string wrapInSmallBlocks(std::string_view raw) {
    std::string wrapped = catagen::bzip2Wrap(raw, 1);
    wrapped[3] = '9';
    return wrapped;
}

struct Bzip2Block {
    uint64_t bitFrom = 0, bitTo = 0;  // its bits in the stream, from its block magic to the next magic
    uint64_t rawFrom = 0, rawTo = 0;  // the decoded bytes it holds
};

inline constexpr uint64_t bzip2BlockMagic = 0x314159265359, bzip2EndMagic = 0x177245385090;

inline uint64_t streamBits(std::string_view bytes, uint64_t at, unsigned count) {
    uint64_t value = 0;
    for (unsigned k = 0; k < count; ++k, ++at)
        value = value << 1 | ((static_cast<uint8_t>(bytes[at / 8]) >> (7 - at % 8)) & 1u);
    return value;
}

inline void appendBits(std::string& out, uint64_t& bits, uint64_t value, unsigned count) {
    for (unsigned k = count; k-- > 0; ++bits) {
        if (bits % 8 == 0) out.push_back('\0');
        if ((value >> k) & 1u) out.back() = static_cast<char>(out.back() | (0x80 >> (bits % 8)));
    }
}

// The decoded length of the one block at bits [from, to) of `stream`: the block alone in a stream of its
// own, whose check is then the block's own check. -1 when the library does not decode it.
inline int64_t bzip2BlockLength(std::string_view stream, uint64_t from, uint64_t to) {
    std::string one(stream.substr(0, 4));  // "BZh" and the block size
    uint64_t bits = 32;
    for (uint64_t at = from; at < to; at += 32) {
        auto count = static_cast<unsigned>(std::min<uint64_t>(32, to - at));
        appendBits(one, bits, streamBits(stream, at, count), count);
    }
    appendBits(one, bits, bzip2EndMagic, 48);
    appendBits(one, bits, streamBits(stream, from + 48, 32), 32);
    bz_stream z{};
    if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return -1;
    z.next_in = one.data();
    z.avail_in = static_cast<unsigned>(one.size());
    std::string scratch(size_t{1} << 20, '\0');
    int result = BZ_OK;
    while (result == BZ_OK) {
        z.next_out = scratch.data();
        z.avail_out = static_cast<unsigned>(scratch.size());
        result = BZ2_bzDecompress(&z);
    }
    auto length = static_cast<int64_t>(uint64_t{z.total_out_hi32} << 32 | z.total_out_lo32);
    BZ2_bzDecompressEnd(&z);
    return result == BZ_STREAM_END ? length : -1;
}

// The blocks of a stream of one bzip2 stream, in order; empty when a block does not decode. The magics
// are found wherever they lie in the bits (a false one among random bits is a chance of 2^-48 a bit).
inline std::vector<Bzip2Block> bzip2Blocks(std::string_view stream) {
    std::vector<Bzip2Block> blocks;
    uint64_t window = 0, total = stream.size() * 8;
    for (uint64_t at = 0; at < total; ++at) {
        window = (window << 1 | streamBits(stream, at, 1)) & 0xFFFFFFFFFFFF;
        if (at < 47 || (window != bzip2BlockMagic && window != bzip2EndMagic)) continue;
        uint64_t magic = at - 47;
        if (!blocks.empty()) blocks.back().bitTo = magic;
        if (window == bzip2EndMagic) break;
        blocks.push_back({magic, total, 0, 0});
    }
    uint64_t raw = 0;
    for (Bzip2Block& block : blocks) {
        int64_t length = bzip2BlockLength(stream, block.bitFrom, block.bitTo);
        if (length < 0) return {};
        block.rawFrom = raw;
        raw += static_cast<uint64_t>(length);
        block.rawTo = raw;
    }
    return blocks;
}

}  // namespace catadump::test
