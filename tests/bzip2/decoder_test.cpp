// The bzip2 decoder with worker threads must be indistinguishable from the single-threaded filter: the same
// bytes, the same zero-filled failures, the same console lines and flags, whatever the stream holds.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bzip2/blocks.h"
#include "stream/database_stream.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

// Everything a reader could observe of one pass over a stream.
struct Observed {
    std::string bytes;
    std::string console;
    bool readError = false;
    unsigned fallbacks = 0;
    bool operator==(const Observed& other) const {
        return bytes == other.bytes && console == other.console && readError == other.readError;
    }
};

// Reads `total` bytes in pieces of varying sizes (seeded) from the stored bzip2 data, then, when asked, one
// read past them.
Observed readThrough(const std::string& stored, unsigned threads, size_t total, uint32_t seed,
                     bool readPast = false) {
    CapturedRun captured;
    CountingInput input(stored);
    DatabaseStream stream;
    openDatabaseStream(stream, captured.run, input.source());
    EXPECT_TRUE(switchToDecompressing(stream, nullptr, 0, threads));
    std::mt19937 random(seed);
    Observed seen;
    std::string piece;
    while (seen.bytes.size() < total) {
        size_t n = std::min<size_t>(total - seen.bytes.size(), random() % 3 == 0 ? random() % 300000 : random() % 9);
        piece.assign(n, '\x55');
        readBytes(stream, n, piece.data());
        seen.bytes += piece;
    }
    if (readPast) seen.bytes += static_cast<char>(readU8(stream));
    seen.console = captured.console;
    seen.readError = captured.run.flags.readError;
    seen.fallbacks = fallbackCount(*stream.decoder);
    return seen;
}

// Data of mixed compressibility, long enough for several blocks.
std::string mixedData(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string data;
    while (data.size() < size) {
        if (random() % 2) {
            data += noisyBytes(random() % 50000 + 1, static_cast<uint32_t>(random()));
        } else {
            data.append(random() % 3000 + 1, static_cast<char>(random()));
        }
    }
    data.resize(size);
    return data;
}

TEST(Bzip2Blocks, EveryBlockOfAStreamDecodesOnItsOwn) {
    std::string data = mixedData(2500000, 3);
    std::string packed = bzip2(data);
    auto* bytes = reinterpret_cast<const uint8_t*>(packed.data());
    std::vector<MagicMark> marks;
    findMagics(bytes, packed.size(), 0, marks);
    ASSERT_GE(marks.size(), 3u);
    EXPECT_EQ(marks.front().bit, 32u);
    EXPECT_EQ(marks.back().kind, MagicKind::end);
    std::string joined;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < marks.size(); ++i) {
        ASSERT_EQ(marks[i].kind, MagicKind::block);
        ASSERT_TRUE(decodeOneBlockStream(oneBlockStream(bytes, marks[i].bit, marks[i + 1].bit), out, 48 << 20));
        joined.append(out.begin(), out.end());
    }
    EXPECT_TRUE(joined == data);
}

TEST(Bzip2Blocks, APieceOfABlockIsRejected) {
    std::string packed = bzip2(mixedData(1500000, 4));
    auto* bytes = reinterpret_cast<const uint8_t*>(packed.data());
    std::vector<MagicMark> marks;
    findMagics(bytes, packed.size(), 0, marks);
    ASSERT_GE(marks.size(), 2u);
    std::vector<uint8_t> out;
    uint64_t middle = (marks[0].bit + marks[1].bit) / 2;
    EXPECT_FALSE(decodeOneBlockStream(oneBlockStream(bytes, marks[0].bit, middle), out, 48 << 20));
}

TEST(Bzip2Decoder, ThreadedAndSingleThreadedAgreeOnRandomStreams) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        std::string data = mixedData(seed * 400000, seed);
        std::string packed = bzip2(data);
        Observed single = readThrough(packed, 1, data.size(), seed);
        EXPECT_TRUE(single.bytes == data);
        for (unsigned threads : {2u, 4u}) {
            Observed threaded = readThrough(packed, threads, data.size(), seed);
            EXPECT_TRUE(threaded == single);
            EXPECT_EQ(threaded.fallbacks, 0u) << "a whole stream read to its end needs no fallback";
        }
    }
}

TEST(Bzip2Decoder, EmptyAndTinyStreams) {
    for (std::string data : {std::string(), std::string("x"), std::string(5000, 'q')}) {
        std::string packed = bzip2(data);
        Observed single = readThrough(packed, 1, data.size(), 1, true);
        Observed threaded = readThrough(packed, 2, data.size(), 1, true);
        EXPECT_TRUE(threaded == single);
        EXPECT_TRUE(single.readError);
        EXPECT_TRUE(single.bytes == data + '\0');
    }
}

// Each anomaly stops the threaded path at the last whole block before it; the single-threaded filter then
// takes over and everything observable stays the same.
struct Anomaly {
    const char* name;
    std::string (*damage)(const std::string& packed, const std::vector<MagicMark>& marks);
};

std::string truncatedInSecondBlock(const std::string& packed, const std::vector<MagicMark>& marks) {
    return cut(packed, static_cast<size_t>((marks[1].bit + marks[2].bit) / 16));
}
std::string corruptSecondBlock(const std::string& packed, const std::vector<MagicMark>& marks) {
    return flipByte(packed, static_cast<size_t>((marks[1].bit + marks[2].bit) / 16), 0x10);
}
std::string falseMagicInSecondBlock(const std::string& packed, const std::vector<MagicMark>& marks) {
    std::string damaged = packed;
    size_t at = static_cast<size_t>((marks[1].bit + marks[2].bit) / 16);
    const char magic[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
    damaged.replace(at, 6, magic, 6);
    return damaged;
}
// A header that allows blocks of 100 kB before blocks of 900 kB: every block is too long for it.
std::string levelTooSmallForTheBlocks(const std::string& packed, const std::vector<MagicMark>&) {
    std::string damaged = packed;
    damaged[3] = '1';
    return damaged;
}
std::string noLevelDigit(const std::string& packed, const std::vector<MagicMark>&) {
    std::string damaged = packed;
    damaged[3] = '0';
    return damaged;
}
std::string dataAfterTheEnd(const std::string& packed, const std::vector<MagicMark>&) {
    return packed + std::string(1000, '\x42');
}
std::string secondStream(const std::string& packed, const std::vector<MagicMark>&) {
    return packed + bzip2("a second stream that must never be read");
}

TEST(Bzip2Decoder, EveryAnomalyFallsBackWithIdenticalResults) {
    const Anomaly anomalies[] = {
        {"truncated", truncatedInSecondBlock}, {"corrupt", corruptSecondBlock},
        {"false magic", falseMagicInSecondBlock}, {"data after the end", dataAfterTheEnd},
        {"level too small", levelTooSmallForTheBlocks}, {"no level digit", noLevelDigit},
        {"second stream", secondStream},
    };
    std::string data = mixedData(2200000, 9);
    std::string packed = bzip2(data);
    std::vector<MagicMark> marks;
    findMagics(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), 0, marks);
    ASSERT_GE(marks.size(), 4u);
    for (const Anomaly& anomaly : anomalies) {
        SCOPED_TRACE(anomaly.name);
        std::string damaged = anomaly.damage(packed, marks);
        // Always read past the end, so that every failure shows.
        Observed single = readThrough(damaged, 1, data.size(), 5, true);
        Observed threaded = readThrough(damaged, 2, data.size(), 5, true);
        EXPECT_TRUE(threaded == single) << "single: " << single.console << "threaded: " << threaded.console;
        EXPECT_EQ(threaded.fallbacks, 1u);
        EXPECT_TRUE(single.readError);
        EXPECT_NE(single.console, "");
    }
}

// The library checks a block in the call that produces its last byte: a reader taking its fields one by
// one has that field's read fail. So the block's bytes come out but for the last, and the read of the last
// fails, with or without threads.
TEST(Bzip2Decoder, ADamagedBlockCheckFailsTheReadOfTheBlocksLastByte) {
    std::string data = mixedData(2200000, 11);
    std::string packed = bzip2(data);
    auto* bytes = reinterpret_cast<const uint8_t*>(packed.data());
    std::vector<MagicMark> marks;
    findMagics(bytes, packed.size(), 0, marks);
    ASSERT_GE(marks.size(), 4u);
    size_t throughSecondBlock = 0;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(decodeOneBlockStream(oneBlockStream(bytes, marks[i].bit, marks[i + 1].bit), out, 48 << 20));
        throughSecondBlock += out.size();
    }
    // A byte wholly inside the second block's stored check, which follows its 48-bit magic.
    std::string damaged = flipByte(packed, static_cast<size_t>((marks[1].bit + 48) / 8 + 1), 0x01);
    for (unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        Observed seen = readThrough(damaged, threads, throughSecondBlock - 1, 3, true);
        EXPECT_EQ(seen.console, "BZ2_bzDecompress(): -4: Failed to decompress.\n");
        EXPECT_TRUE(seen.readError);
        EXPECT_TRUE(seen.bytes == data.substr(0, throughSecondBlock - 1) + '\0');
    }
}

} // namespace
} // namespace catadump::test
