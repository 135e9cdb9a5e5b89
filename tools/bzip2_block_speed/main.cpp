// bzip2_block_speed FILE.bz2 [MAX_BLOCKS [ours]]
//
// Decodes every block of one bzip2 stream on one thread, first with our block decoder, then with the
// library (each block as a one-block stream, built before the clock starts), and prints the decoded
// megabytes per second of each. The two must agree on every block; a disagreement is reported and ends
// the run with exit code 1. With "ours" after the block count, only our decoder runs (for a profile).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bzip2/block_decoder.h"
#include "bzip2/blocks.h"

namespace {

using namespace catadump;
using Clock = std::chrono::steady_clock;

struct Block {
    uint64_t begin;
    uint64_t end;
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bzip2_block_speed FILE.bz2 [MAX_BLOCKS [ours]]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    int level = bzip2StreamLevel(bytes.data(), bytes.size());
    if (level == 0) {
        std::fprintf(stderr, "%s: not a bzip2 stream\n", argv[1]);
        return 2;
    }
    size_t maxBlocks = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : SIZE_MAX;

    std::vector<MagicMark> marks;
    findMagics(bytes.data(), bytes.size(), 0, marks);
    std::vector<Block> blocks;
    for (size_t i = 0; i + 1 < marks.size() && blocks.size() < maxBlocks; ++i) {
        if (marks[i].kind == MagicKind::block) blocks.push_back({marks[i].bit, marks[i + 1].bit});
    }

    Bzip2BlockScratch scratch;
    std::vector<std::vector<uint8_t>> ours(blocks.size());
    std::vector<size_t> lengths(blocks.size());
    std::vector<bool> taken(blocks.size());
    uint64_t oursBytes = 0;
    auto start = Clock::now();
    for (size_t i = 0; i < blocks.size(); ++i) {
        CodedBlock block{bytes.data(), bytes.size(), blocks[i].begin, blocks[i].end, level};
        taken[i] = decodeBzip2Block(block, scratch, ours[i], lengths[i]);
        if (taken[i]) oursBytes += lengths[i];
    }
    double oursSeconds = secondsSince(start);
    if (argc > 3 && std::string(argv[3]) == "ours") {
        std::printf("ours: %.1f MB in %.3f s\n", static_cast<double>(oursBytes) / 1e6, oursSeconds);
        return 0;
    }

    std::vector<std::vector<uint8_t>> streams;
    for (const Block& block : blocks)
        streams.push_back(oneBlockStream(bytes.data(), block.begin, block.end, level));
    uint64_t libraryBytes = 0;
    size_t disagreements = 0, refused = 0;
    std::vector<uint8_t> output;
    start = Clock::now();
    for (size_t i = 0; i < blocks.size(); ++i) {
        bool whole = decodeOneBlockStream(streams[i], output, size_t{48} << 20);
        if (whole) libraryBytes += output.size();
        if (!taken[i]) {
            ++refused;
            if (!whole) continue;
        }
        if (taken[i] && (!whole || output.size() != lengths[i] ||
                         !std::equal(output.begin(), output.end(), ours[i].begin()))) {
            ++disagreements;
        }
    }
    double librarySeconds = secondsSince(start);

    std::printf("%zu blocks, level %d; ours refused %zu, disagreements %zu\n", blocks.size(), level, refused,
                disagreements);
    double oursMb = static_cast<double>(oursBytes) / 1e6, libraryMb = static_cast<double>(libraryBytes) / 1e6;
    std::printf("ours:    %8.1f MB in %.3f s = %6.1f MB/s\n", oursMb, oursSeconds, oursMb / oursSeconds);
    std::printf("library: %8.1f MB in %.3f s = %6.1f MB/s\n", libraryMb, librarySeconds,
                libraryMb / librarySeconds);
    return disagreements == 0 ? 0 : 1;
}
