#include "bzip2/blocks.h"

#include <algorithm>
#include <array>
#include <bzlib.h>
#include <climits>

#include "bzip2/bits.h"
#include "bzip2/crc.h"

namespace catadump {

namespace {

constexpr uint64_t magicMask = (uint64_t{1} << 48) - 1;

// A magic that begins in byte p, at any bit offset, wholly covers bytes p+1 .. p+5, so that the two bytes
// from the one multiple of four among p+1 .. p+4 on lie inside it, at one of four places. Their 64 possible
// values (two magics, eight offsets, four places) mark the 16-bit words a scan of every fourth byte stops
// at: one word in a thousand of other data.
struct PairTable {
    std::array<uint8_t, 8192> bits{};  // a bit per 16-bit word
    constexpr bool has(uint32_t pair) const { return (bits[pair >> 3] >> (pair & 7) & 1) != 0; }
};
constexpr PairTable pairTable() {
    PairTable table;
    for (uint64_t magic : {bzip2BlockMagic, bzip2EndMagic}) {
        for (int offset = 0; offset < 8; ++offset) {
            uint64_t window = magic << (16 - offset);  // the 64 bits from the magic's first byte on
            for (int place = 1; place <= 4; ++place) {
                auto pair = static_cast<uint32_t>((window >> (48 - 8 * place)) & 0xFFFF);
                table.bits[pair >> 3] = static_cast<uint8_t>(table.bits[pair >> 3] | 1 << (pair & 7));
            }
        }
    }
    return table;
}
constexpr PairTable candidatePairs = pairTable();

// The magics that begin at a bit of byte p, in order.
void magicsInByte(const uint8_t* bytes, size_t p, uint64_t fromBit, std::vector<MagicMark>& marks) {
    uint64_t window = loadBig64(bytes + p);
    for (int offset = 0; offset < 8; ++offset) {
        uint64_t bit = uint64_t{p} * 8 + static_cast<uint64_t>(offset);
        if (bit < fromBit) continue;
        uint64_t candidate = (window >> (16 - offset)) & magicMask;
        if (candidate == bzip2BlockMagic) marks.push_back({bit, MagicKind::block});
        if (candidate == bzip2EndMagic) marks.push_back({bit, MagicKind::end});
    }
}

// Appends bits to `out`, most significant first; `used` counts the bits its last byte already holds.
struct BitWriter {
    std::vector<uint8_t>& out;
    int used = 0;  // bits used in out.back(), 0 when it is full or absent

    void put(uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i) putBit(static_cast<uint8_t>((value >> i) & 1));
    }
    void putBit(uint8_t bit) {
        if (used == 0) out.push_back(0);
        out.back() = static_cast<uint8_t>(out.back() | bit << (7 - used));
        used = (used + 1) & 7;
    }
};

}  // namespace

void findMagics(const uint8_t* bytes, size_t size, uint64_t fromBit, std::vector<MagicMark>& marks) {
    if (size < 8) return;
    const size_t firstByte = static_cast<size_t>(fromBit / 8);
    const size_t lastByte = size - 8;  // a 64-bit window starting here still fits
    if (firstByte > lastByte) return;
    // Every fourth byte q: the magics of bytes q-4 .. q-1 cover q and q+1.
    for (size_t q = (firstByte + 4) & ~size_t{3}; q <= lastByte + 4; q += 4) {
        if (!candidatePairs.has(uint32_t{bytes[q]} << 8 | bytes[q + 1])) [[likely]]
            continue;
        for (size_t p = std::max(q, firstByte + 4) - 4; p < q && p <= lastByte; ++p)
            magicsInByte(bytes, p, fromBit, marks);
    }
}

int bzip2StreamLevel(const uint8_t* bytes, size_t size) {
    if (size < 4 || bytes[0] != 'B' || bytes[1] != 'Z' || bytes[2] != 'h' || bytes[3] < '1' || bytes[3] > '9')
        return 0;
    return bytes[3] - '0';
}

std::vector<uint8_t> oneBlockStream(const uint8_t* bytes, uint64_t beginBit, uint64_t endBit, int level) {
    std::vector<uint8_t> stream = {'B', 'Z', 'h', static_cast<uint8_t>('0' + level)};
    stream.reserve(static_cast<size_t>((endBit - beginBit) / 8 + 20));
    uint64_t count = endBit - beginBit;
    // Whole bytes of the block, shifted into alignment eight bits at a time.
    size_t first = static_cast<size_t>(beginBit / 8);
    int shift = static_cast<int>(beginBit % 8);
    uint64_t wholeBytes = count / 8;
    for (uint64_t i = 0; i < wholeBytes; ++i) {
        uint8_t high = static_cast<uint8_t>(bytes[first + i] << shift);
        uint8_t low = shift == 0 ? 0 : static_cast<uint8_t>(bytes[first + i + 1] >> (8 - shift));
        stream.push_back(static_cast<uint8_t>(high | low));
    }
    BitWriter writer{stream, 0};
    for (uint64_t bit = beginBit + wholeBytes * 8; bit < endBit; ++bit) {
        writer.putBit(static_cast<uint8_t>(bitsAt(bytes, bit, 1)));
    }
    // The block's CRC follows its magic; as the only block, it is also the stream's combined CRC. A block
    // too short to hold one has none to copy (the bits past its end are not in `bytes`), and the library
    // refuses such a block whatever check the stream claims.
    writer.put(bzip2EndMagic, 48);
    writer.put(count >= 80 ? bitsAt(bytes, beginBit + 48) : 0, 32);
    return stream;
}

OneBlockOutcome measureOneBlockStream(const std::vector<uint8_t>& stream, size_t maxOutput) {
    bz_stream library{};
    if (BZ2_bzDecompressInit(&library, 0, 0) != BZ_OK) return {OneBlockVerdict::failedBeforeBytes, 0};
    library.next_in = const_cast<char*>(reinterpret_cast<const char*>(stream.data()));
    library.avail_in = static_cast<unsigned>(stream.size());
    char sink[65536];
    size_t produced = 0;
    int result = BZ_OK;
    for (;;) {
        library.next_out = sink;
        library.avail_out = sizeof sink;
        result = BZ2_bzDecompress(&library);
        produced += sizeof sink - library.avail_out;
        // Room left without the end of the stream means the input ran out.
        if (result != BZ_OK || library.avail_out != 0 || produced > maxOutput) break;
    }
    bool whole = result == BZ_STREAM_END && library.avail_in == 0 && produced <= maxOutput;
    BZ2_bzDecompressEnd(&library);
    if (whole) return {OneBlockVerdict::whole, produced};
    return {produced > 0 ? OneBlockVerdict::failedAfterBytes : OneBlockVerdict::failedBeforeBytes, 0};
}

bool decodeOneBlockStreamInto(const std::vector<uint8_t>& stream, uint8_t* output, size_t size) {
    bz_stream library{};
    if (BZ2_bzDecompressInit(&library, 0, 0) != BZ_OK) return false;
    library.next_in = const_cast<char*>(reinterpret_cast<const char*>(stream.data()));
    library.avail_in = static_cast<unsigned>(stream.size());
    size_t produced = 0;
    int result = BZ_OK;
    while (result == BZ_OK) {
        size_t room = std::min<size_t>(size - produced, UINT_MAX);
        library.next_out = reinterpret_cast<char*>(output + produced);
        library.avail_out = static_cast<unsigned>(room);
        result = BZ2_bzDecompress(&library);
        produced += room - library.avail_out;
        if (library.avail_out != 0 || produced == size) break;
    }
    bool whole = result == BZ_STREAM_END && library.avail_in == 0 && produced == size;
    BZ2_bzDecompressEnd(&library);
    return whole;
}

bool decodeOneBlockStream(const std::vector<uint8_t>& stream, std::vector<uint8_t>& output,
                          size_t maxOutput) {
    OneBlockOutcome outcome = measureOneBlockStream(stream, maxOutput);
    output.clear();
    if (outcome.verdict != OneBlockVerdict::whole) return false;
    output.resize(outcome.size);
    return decodeOneBlockStreamInto(stream, output.data(), outcome.size);
}

bool restartHead(int level, uint32_t combinedCrc, int bitOffset, RestartHead& head) {
    std::vector<uint8_t> data;
    std::vector<uint8_t> packed(1024);
    std::vector<MagicMark> marks;
    // Each further filler byte changes the carrier's length by a few bits; some count soon ends it at the
    // bit wanted.
    for (size_t filler = 0; filler < 200; ++filler) {
        data.clear();
        for (size_t i = 0; i < filler; ++i) data.push_back(static_cast<uint8_t>(i * 37 + 11));
        uint32_t state = updateBzip2Crc(0xFFFFFFFFu, data.data(), data.size());
        uint32_t last = bzip2CrcPreimage(state, combinedCrc);
        for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(last >> shift));
        auto packedSize = static_cast<unsigned>(packed.size());
        if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &packedSize,
                                     reinterpret_cast<char*>(data.data()), static_cast<unsigned>(data.size()),
                                     1, 0, 0) != BZ_OK) {
            return false;
        }
        marks.clear();
        findMagics(packed.data(), packedSize, 0, marks);
        if (marks.size() != 2 || marks[0].bit != 32 || marks[1].kind != MagicKind::end) continue;
        uint64_t end = marks[1].bit;
        if (static_cast<int>(end % 8) != bitOffset) continue;
        head.bytes.assign(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>((end + 7) / 8));
        head.bytes[3] = static_cast<uint8_t>('0' + level);
        if (bitOffset != 0) head.bytes.back() &= static_cast<uint8_t>(0xFF00u >> bitOffset);
        head.decodedBytes = data.size();
        return true;
    }
    return false;
}

}  // namespace catadump
