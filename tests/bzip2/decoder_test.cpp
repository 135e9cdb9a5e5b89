// The bzip2 decoder with worker threads must be indistinguishable from the single-threaded filter: the same
// bytes, the same zero-filled failures, the same console lines and flags, whatever the stream holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "bzip2/bits.h"
#include "bzip2/blocks.h"
#include "bzip2/decoder.h"
#include "input/database_stream.h"
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
    size_t peak = 0;
    unsigned workers = 0;
    bool operator==(const Observed& other) const {
        return bytes == other.bytes && console == other.console && readError == other.readError;
    }
};

enum class After { nothing, readPast, finish };

// Reads the stored bzip2 data in reads of the planned sizes, then one read past them or the end of the
// reading (which reports damage met right where the reader stopped).
Observed readPlanned(const std::string& stored, unsigned threads, const std::vector<size_t>& plan,
                     After after, ThreadStarter starter = startSystemThread, size_t readLimit = 0) {
    CapturedRun captured;
    captured.run.startThread = starter;
    CountingInput input(stored);
    input.readLimit = readLimit;
    DatabaseStream stream;
    openDatabaseStream(stream, captured.run, input.source());
    EXPECT_TRUE(switchToDecompressing(stream, nullptr, 0, threads));
    Observed seen;
    std::string piece;
    for (size_t n : plan) {
        piece.assign(n, '\x55');
        readBytes(stream, n, piece.data());
        seen.bytes += piece;
    }
    if (after == After::readPast) seen.bytes += static_cast<char>(readU8(stream));
    if (after == After::finish) finishDatabaseStream(stream);
    seen.console = captured.console;
    seen.readError = captured.run.flags.readError;
    seen.fallbacks = fallbackCount(*stream.decoder);
    seen.peak = peakDecodedBytes(*stream.decoder);
    seen.workers = workerCount(*stream.decoder);
    return seen;
}

// Reads `total` bytes in pieces of varying sizes (seeded), then, when asked, one read past them.
Observed readThrough(const std::string& stored, unsigned threads, size_t total, uint32_t seed,
                     bool readPast = false, size_t readLimit = 0) {
    std::mt19937 random(seed);
    std::vector<size_t> plan;
    for (size_t planned = 0; planned < total;) {
        size_t n = std::min<size_t>(total - planned, random() % 3 == 0 ? random() % 300000 : random() % 9);
        plan.push_back(n);
        planned += n;
    }
    return readPlanned(stored, threads, plan, readPast ? After::readPast : After::nothing, startSystemThread,
                       readLimit);
}

// The decoded sizes of the stream's blocks.
std::vector<size_t> blockSizes(const std::string& packed) {
    auto* bytes = reinterpret_cast<const uint8_t*>(packed.data());
    std::vector<MagicMark> marks;
    findMagics(bytes, packed.size(), 0, marks);
    std::vector<size_t> sizes;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < marks.size(); ++i) {
        EXPECT_TRUE(
            decodeOneBlockStream(oneBlockStream(bytes, marks[i].bit, marks[i + 1].bit), out, 48 << 20));
        sizes.push_back(out.size());
    }
    return sizes;
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
        ASSERT_TRUE(
            decodeOneBlockStream(oneBlockStream(bytes, marks[i].bit, marks[i + 1].bit), out, 48 << 20));
        joined.append(out.begin(), out.end());
    }
    EXPECT_TRUE(joined == data);
}

// The scan for magics stops only at every fourth byte; it must still find a magic at every bit of a
// buffer where a whole 64-bit window fits, from any starting bit, as a look at every bit does.
TEST(Bzip2Blocks, TheScanFindsMagicsAtEveryBitFromAnyStart) {
    auto everyBit = [](const std::vector<uint8_t>& bytes, uint64_t fromBit) {
        std::vector<MagicMark> marks;
        for (uint64_t bit = fromBit; bit < (bytes.size() - 7) * 8; ++bit) {
            uint64_t value =
                uint64_t{bitsAt(bytes.data(), bit, 24)} << 24 | bitsAt(bytes.data(), bit + 24, 24);
            if (value == bzip2BlockMagic) marks.push_back({bit, MagicKind::block});
            if (value == bzip2EndMagic) marks.push_back({bit, MagicKind::end});
        }
        return marks;
    };
    auto put = [](std::vector<uint8_t>& bytes, uint64_t bit, uint64_t magic) {
        for (int i = 0; i < 48; ++i, ++bit) {
            auto mask = static_cast<uint8_t>(0x80 >> bit % 8);
            bytes[bit / 8] = static_cast<uint8_t>((magic >> (47 - i) & 1) ? bytes[bit / 8] | mask
                                                                          : bytes[bit / 8] & ~mask);
        }
    };
    std::mt19937 random(5);
    for (size_t size = 8; size <= 24; ++size) {
        for (uint64_t at = 0; at < (size - 7) * 8; ++at) {
            std::vector<uint8_t> bytes(size);
            for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
            put(bytes, at, at % 2 == 0 ? bzip2BlockMagic : bzip2EndMagic);
            // A second magic right after the first, where it fits.
            if (at + 48 < (size - 7) * 8) put(bytes, at + 48, bzip2BlockMagic);
            for (uint64_t fromBit : {uint64_t{0}, at > 0 ? at - 1 : 0, at, at + 1, at + 9}) {
                std::vector<MagicMark> marks;
                findMagics(bytes.data(), bytes.size(), fromBit, marks);
                std::vector<MagicMark> expected = everyBit(bytes, fromBit);
                ASSERT_EQ(marks.size(), expected.size())
                    << "size " << size << ", at " << at << ", from " << fromBit;
                for (size_t i = 0; i < marks.size(); ++i) {
                    EXPECT_EQ(marks[i].bit, expected[i].bit);
                    EXPECT_EQ(marks[i].kind, expected[i].kind);
                }
            }
        }
    }
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
// A magic starting inside the second block's own CRC: no boundary, and no block as short as that.
std::string falseMagicInSecondBlocksCheck(const std::string& packed, const std::vector<MagicMark>& marks) {
    std::string damaged = packed;
    auto at = static_cast<size_t>((marks[1].bit + 50 + 7) / 8);
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

TEST(Bzip2Decoder, EveryAnomalyFallsBackWithIdenticalResults) {
    const Anomaly anomalies[] = {
        {"truncated", truncatedInSecondBlock},    {"corrupt", corruptSecondBlock},
        {"false magic", falseMagicInSecondBlock}, {"false magic in a check", falseMagicInSecondBlocksCheck},
        {"data after the end", dataAfterTheEnd},  {"level too small", levelTooSmallForTheBlocks},
        {"no level digit", noLevelDigit},
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

// The data as bzip2 streams one after the other, one for each piece between the offsets.
std::string inStreams(const std::string& data, const std::vector<size_t>& offsets, int blockSize = 9) {
    std::string packed;
    size_t from = 0;
    for (size_t to : offsets) {
        packed += bzip2(data.substr(from, to - from), blockSize);
        from = to;
    }
    return packed + bzip2(data.substr(from), blockSize);
}

// Streams that end exactly at `size`: one of noise, then streams of nothing (14 bytes each), so that the
// stream after them begins where wanted. The noise is what they decode to.
std::string streamsEndingAt(size_t size, std::string& noise) {
    const std::string empty = bzip2("");
    for (size_t n = 1000;; ++n) {
        std::string packed = bzip2(noisyBytes(n, 8));
        if ((size - packed.size()) % empty.size() != 0) continue;
        noise = noisyBytes(n, 8);
        for (size_t k = (size - packed.size()) / empty.size(); k > 0; --k) packed += empty;
        return packed;
    }
}

const std::string unexpectedEnd = "BZ2_bzDecompress(): 4: Unexpected EOF in decompression stream.\n";

// Several streams read as one: the next stream's bytes follow the last of the stream before, whether the
// next header arrives with the end of the one before, across the filter's staging boundary or a few bytes at
// a time; streams without blocks add nothing; what follows the last stream is the end of the data, as after
// a lone stream. Threads or not, the same; a file of streams of one block size stays threaded to its end.
TEST(Bzip2Decoder, SeveralStreamsContinueTheData) {
    std::string data = mixedData(1200000, 31);
    std::string small = data.substr(0, 250000);
    // The filter takes the source's bytes 65,536 at a time: stream headers split 2 + 2, 3 + 1, or at the
    // start.
    const size_t splitAt[3] = {65534, 65533, 65536};
    std::string split[3], splitStored[3];
    for (size_t i = 0; i < 3; ++i) splitStored[i] = streamsEndingAt(splitAt[i], split[i]);
    struct Case {
        const char* name;
        std::string data;
        std::string stored;
        size_t readLimit = 0;
        bool staysThreaded = true;
    };
    std::vector<size_t> tenths;
    for (size_t at = 120000; at < data.size(); at += 120000) tenths.push_back(at);
    const Case cases[] = {
        {"two streams", data, inStreams(data, {600000})},
        {"ten one-block streams", data, inStreams(data, tenths, 2)},
        {"an empty stream between and at both ends", data,
         bzip2("") + bzip2(data.substr(0, 500000)) + bzip2("") + bzip2(data.substr(500000)) + bzip2("")},
        {"bytes after the last stream", data, inStreams(data, {700000}) + std::string(3000, '\x42')},
        {"part of a header after the last stream", data, inStreams(data, {700000}) + "BZh"},
        {"a header split at the staging boundary", split[0] + small, splitStored[0] + bzip2(small)},
        {"a header one byte before it", split[1] + small, splitStored[1] + bzip2(small)},
        {"a header right at it", split[2] + small, splitStored[2] + bzip2(small)},
        {"three bytes a read", small, bzip2("", 1) + inStreams(small, {100000, 100001}, 1), 3},
        {"streams of two block sizes", data, bzip2(data.substr(0, 400000), 9) + bzip2(data.substr(400000), 1),
         0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Observed single =
            readPlanned(c.stored, 1, {c.data.size()}, After::finish, startSystemThread, c.readLimit);
        EXPECT_TRUE(single.bytes == c.data);
        EXPECT_EQ(single.console, "");
        EXPECT_FALSE(single.readError);
        Observed past = readThrough(c.stored, 1, c.data.size(), 7, true, c.readLimit);
        EXPECT_EQ(past.console, unexpectedEnd);
        EXPECT_TRUE(past.readError);
        for (unsigned threads : {2u, 4u}) {
            SCOPED_TRACE(threads);
            Observed threaded = readPlanned(c.stored, threads, {c.data.size()}, After::finish,
                                            startSystemThread, c.readLimit);
            EXPECT_TRUE(threaded == single);
            EXPECT_EQ(threaded.fallbacks, c.staysThreaded ? 0u : 1u);
            EXPECT_TRUE(readThrough(c.stored, threads, c.data.size(), 7, true, c.readLimit) == past);
        }
    }
}

// Damage in a stream after the first reports as the same damage in a lone stream does, after the bytes of
// the streams before; with threads or not. Reads of 4096 bytes after the first stream's, then one more.
TEST(Bzip2Decoder, DamageInALaterStreamReportsAsInALoneStream) {
    std::string data = mixedData(1000000, 33);
    std::string first = data.substr(0, 400000);
    std::string second = data.substr(400000);
    std::string head = bzip2(first, 1);
    std::string tail = bzip2(second, 1);
    std::vector<MagicMark> marks;
    findMagics(reinterpret_cast<const uint8_t*>(tail.data()), tail.size(), 0, marks);
    ASSERT_GE(marks.size(), 4u);
    size_t middleOfSecondBlock = static_cast<size_t>((marks[1].bit + marks[2].bit) / 16);
    struct Case {
        const char* name;
        std::string damagedTail;
        const char* console = nullptr;  // when it is not the lone stream's
    };
    const Case cases[] = {
        {"cut in a block", cut(tail, middleOfSecondBlock)},
        {"cut right after the header", cut(tail, 4)},
        {"cut in the end mark", cut(tail, tail.size() - 3)},
        {"a damaged block", flipByte(tail, middleOfSecondBlock, 0x10)},
        {"a damaged first block header", flipByte(tail, 14, 0x5A)},
        {"a damaged block check", flipByte(tail, 10, 0x01)},
        {"a damaged stream check", flipByte(tail, tail.size() - 2, 0x01)},
        // No whole stream header: the end of the data, as after a lone stream.
        {"cut in the header", cut(tail, 2), unexpectedEnd.c_str()},
        {"no level digit", "BZh0" + tail.substr(4), unexpectedEnd.c_str()},
    };
    std::vector<size_t> plan(second.size() / 4096, 4096);
    plan.push_back(second.size() % 4096);
    plan.push_back(1);
    std::vector<size_t> afterFirst = plan;
    afterFirst.insert(afterFirst.begin(), first.size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Observed alone = readPlanned(c.damagedTail, 1, plan, After::finish);
        Observed single = readPlanned(head + c.damagedTail, 1, afterFirst, After::finish);
        EXPECT_TRUE(single.readError);
        if (c.console == nullptr) {
            EXPECT_TRUE(single.bytes == first + alone.bytes);
            EXPECT_EQ(single.console, alone.console);
        } else {
            EXPECT_TRUE(single.bytes == first + std::string(second.size() + 1, '\0'));  // every read fails
            EXPECT_EQ(single.console, c.console);
        }
        for (unsigned threads : {2u, 4u}) {
            Observed threaded = readPlanned(head + c.damagedTail, threads, afterFirst, After::finish);
            EXPECT_TRUE(threaded == single) << threads << " threads: " << threaded.console;
        }
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
        ASSERT_TRUE(
            decodeOneBlockStream(oneBlockStream(bytes, marks[i].bit, marks[i + 1].bit), out, 48 << 20));
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

// The library reads a block's header and coded data in the call that produces the last byte of the block
// before; when it fails there, that byte is held back, so a read that ends with it fails. Damage in the
// second block's header or coded data, its check only, and nothing at all; reads that end exactly at the
// first block's end, then one read more or the end of the reading.
TEST(Bzip2Decoder, AReadEndingAtABlocksLastByteFailsOrNotAsWithoutThreads) {
    std::string data = mixedData(2200000, 12);
    std::string packed = bzip2(data);
    std::vector<MagicMark> marks;
    findMagics(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), 0, marks);
    size_t first = blockSizes(packed)[0];
    size_t second = static_cast<size_t>(marks[1].bit / 8);
    struct Case {
        const char* name;
        std::string stored;
    };
    const Case cases[] = {
        {"intact", packed},
        {"header", flipByte(packed, second + 14, 0x5A)},
        {"coded data", flipByte(packed, second + 100, 0xFF)},
        {"check", flipByte(packed, second + 8, 0x01)},
        {"cut after the second magic", cut(packed, second + 40)},
    };
    for (const Case& damage : cases) {
        for (std::vector<size_t> plan :
             {std::vector<size_t>{first}, std::vector<size_t>{first - 1}, {first - 7, 7}}) {
            for (After after : {After::readPast, After::finish}) {
                SCOPED_TRACE(std::string(damage.name) + ", reads to " + std::to_string(plan.back()) +
                             (after == After::finish ? ", then the end" : ", then one more"));
                Observed single = readPlanned(damage.stored, 1, plan, after);
                Observed threaded = readPlanned(damage.stored, 2, plan, after);
                EXPECT_TRUE(threaded == single)
                    << "single: " << single.console << "threaded: " << threaded.console;
            }
        }
    }
}

// Started at a block of a stream with the head the restart gives it, the library decodes the rest of the
// stream, its stream check included, whatever bit of its byte the block begins at.
TEST(Bzip2Blocks, TheLibraryRestartsAtAnyBlockOnTheRestartHead) {
    std::string data = mixedData(3000000, 21);
    std::string packed = bzip2(data, 2);
    auto* bytes = reinterpret_cast<const uint8_t*>(packed.data());
    std::vector<MagicMark> marks;
    findMagics(bytes, packed.size(), 0, marks);
    std::vector<size_t> sizes = blockSizes(packed);
    ASSERT_GE(sizes.size(), 8u);
    uint32_t combined = 0;
    size_t decodedStart = 0;
    std::vector<int> offsetsSeen(8, 0);
    for (size_t block = 1; block < sizes.size(); ++block) {
        combined = (combined << 1 | combined >> 31) ^ bitsAt(bytes, marks[block - 1].bit + 48);
        decodedStart += sizes[block - 1];
        uint64_t bit = marks[block].bit;
        ++offsetsSeen[bit % 8];
        RestartHead head;
        ASSERT_TRUE(restartHead(2, combined, static_cast<int>(bit % 8), head));
        std::string restarted(head.bytes.begin(), head.bytes.end());
        size_t from = static_cast<size_t>(bit / 8);
        if (bit % 8 != 0)
            restarted.back() = static_cast<char>(restarted.back() | (bytes[from++] & (0xFF >> (bit % 8))));
        restarted += packed.substr(from);
        std::vector<uint8_t> out;
        ASSERT_TRUE(
            decodeOneBlockStream(std::vector<uint8_t>(restarted.begin(), restarted.end()), out, 64 << 20))
            << "block " << block;
        ASSERT_EQ(out.size(), head.decodedBytes + data.size() - decodedStart);
        EXPECT_TRUE(std::string(out.begin() + static_cast<std::ptrdiff_t>(head.decodedBytes), out.end()) ==
                    data.substr(decodedStart));
    }
    EXPECT_GE(std::count_if(offsetsSeen.begin(), offsetsSeen.end(), [](int n) { return n > 0; }), 4);
}

// A few bytes of data and then zeros that the reader never needs, 45 MB to each block: whatever the
// thread count, the pipeline holds at most its budget and decodes the blocks of zeros one at a time.
TEST(Bzip2Decoder, BlocksOfLongRunsStayWithinTheBudgetAtAnyThreadCount) {
    static const std::string packed = bzip2("a small database" + std::string(size_t{140} << 20, '\0'));
    for (unsigned threads : {2u, 32u}) {
        SCOPED_TRACE(threads);
        Observed seen = readPlanned(packed, threads, {16, 1000}, After::finish);
        EXPECT_EQ(seen.bytes, "a small database" + std::string(1000, '\0'));
        EXPECT_FALSE(seen.readError);
        EXPECT_GT(seen.peak, size_t{45} << 20);
        EXPECT_LE(seen.peak, decodedBytesBudget);
        EXPECT_LT(seen.peak, size_t{2} * (size_t{45} << 20)) << "two blocks of zeros were held at once";
    }
}

// The blocks of bzip2 data as the magics cut it: where each begins and ends, how long it decodes, and whether
// a stream ends after it.
struct FoundBlock {
    uint64_t bit = 0;
    uint64_t endBit = 0;
    size_t size = 0;
    bool endsStream = false;
};
std::vector<FoundBlock> foundBlocks(const std::string& packed) {
    auto* bytes = reinterpret_cast<const uint8_t*>(packed.data());
    std::vector<MagicMark> marks;
    findMagics(bytes, packed.size(), 0, marks);
    std::vector<FoundBlock> blocks;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < marks.size(); ++i) {
        if (marks[i].kind != MagicKind::block) continue;
        EXPECT_TRUE(
            decodeOneBlockStream(oneBlockStream(bytes, marks[i].bit, marks[i + 1].bit), out, 48 << 20));
        blocks.push_back({marks[i].bit, marks[i + 1].bit, out.size(), marks[i + 1].kind == MagicKind::end});
    }
    return blocks;
}

struct Recovered {
    std::string bytes;
    std::string console;
    bool readError = false;
    std::vector<uint64_t> gaps;
};

// Reads `total` bytes in reads of varying sizes, with or without recovery, then one byte more when asked,
// and ends the reading.
Recovered readRecovering(const std::string& stored, unsigned threads, size_t total, bool readPast,
                         bool recover = true) {
    CapturedRun captured;
    captured.run.recover = recover;
    CountingInput input(stored);
    DatabaseStream stream;
    openDatabaseStream(stream, captured.run, input.source());
    EXPECT_TRUE(switchToDecompressing(stream, nullptr, 0, threads));
    Recovered seen;
    seen.bytes.assign(total, '\x55');
    std::mt19937 random(static_cast<uint32_t>(total));
    for (size_t at = 0; at < total;) {
        size_t n = std::min<size_t>(total - at, random() % 70000 + 1);
        readBytes(stream, n, seen.bytes.data() + at);
        at += n;
    }
    if (readPast) seen.bytes += static_cast<char>(readU8(stream));
    finishDatabaseStream(stream);
    seen.console = captured.console;
    seen.readError = captured.run.flags.readError;
    seen.gaps = dataGaps(stream);
    return seen;
}

// Under recovery every block that decodes whole is used, whatever was lost before it: the bytes are the
// data's less the lost blocks', each lost block has its console line and a gap where its bytes would be,
// and the read-error flag is raised. Read to the end of what is left, a lost last block shows when the
// reading ends; read past it, the data ends as without recovery. Without recovery, the same data stops at
// the first lost block, with or without threads alike.
TEST(Bzip2Decoder, RecoveryLeavesOutExactlyTheLostBlocks) {
    const std::string data = mixedData(600000, 41);
    const std::string one = bzip2(data, 1);
    const std::string two = bzip2(data.substr(0, 250000), 1) + bzip2(data.substr(250000), 1);
    const std::vector<FoundBlock> oneBlocks = foundBlocks(one), twoBlocks = foundBlocks(two);
    const size_t last = oneBlocks.size() - 1;
    ASSERT_GE(last, 4u);
    size_t endOfFirst = 0;  // the first stream's last block in `two`
    while (!twoBlocks[endOfFirst].endsStream) ++endOfFirst;
    ASSERT_LE(endOfFirst + 3, twoBlocks.size());
    auto middle = [](const std::vector<FoundBlock>& blocks, size_t block) {
        return static_cast<size_t>((blocks[block].bit + blocks[block].endBit) / 16);
    };
    auto overwrite = [&](const std::string& packed, const std::vector<FoundBlock>& blocks,
                         std::vector<size_t> lost) {
        std::string damaged = packed;
        for (size_t block : lost) damaged.replace(middle(blocks, block), 8, 8, '\0');
        return damaged;
    };
    std::string noMagics = one;
    noMagics.insert(middle(oneBlocks, 2), size_t{5} << 20, '\0');
    std::vector<MagicMark> marks;
    findMagics(reinterpret_cast<const uint8_t*>(one.data()), one.size(), 0, marks);
    const uint64_t check = marks.back().bit + 48;
    const std::string checkLine = printed(
        "BZ2_bzDecompress(): -4: Failed to decompress: the stream check at bit %llu does not match.\n",
        static_cast<unsigned long long>(check));
    struct Case {
        const char* name;
        std::string stored;
        const std::vector<FoundBlock>& blocks;
        std::vector<size_t> lost;
        bool cutInLast = false;
        std::string checkLine = "";
    };
    const Case cases[] = {
        {"a block in the middle", overwrite(one, oneBlocks, {2}), oneBlocks, {2}},
        {"the first block", overwrite(one, oneBlocks, {0}), oneBlocks, {0}},
        {"the last block", overwrite(one, oneBlocks, {last}), oneBlocks, {last}},
        {"two blocks", overwrite(one, oneBlocks, {1, 3}), oneBlocks, {1, 3}},
        {"two blocks in a row", overwrite(one, oneBlocks, {2, 3}), oneBlocks, {2, 3}},
        {"cut off in the last block", cut(one, middle(oneBlocks, last)), oneBlocks, {last}, true},
        {"five megabytes without a magic in a block", noMagics, oneBlocks, {2}},
        {"the first stream's last block", overwrite(two, twoBlocks, {endOfFirst}), twoBlocks, {endOfFirst}},
        {"a block of the second stream",
         overwrite(two, twoBlocks, {endOfFirst + 2}),
         twoBlocks,
         {endOfFirst + 2}},
        {"the stream check alone",
         flipByte(one, static_cast<size_t>(check / 8 + 1), 0x01),
         oneBlocks,
         {},
         false,
         checkLine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string expected, console;
        std::vector<uint64_t> gaps;
        for (size_t i = 0, at = 0; i < c.blocks.size(); ++i) {
            if (std::find(c.lost.begin(), c.lost.end(), i) == c.lost.end()) {
                expected += data.substr(at, c.blocks[i].size);
            } else {
                gaps.push_back(expected.size());
                console +=
                    c.cutInLast && i == last
                        ? printed(
                              "BZ2_bzDecompress(): -7: Unexpected EOF in block %zu at bit %llu, skipped.\n",
                              i + 1, static_cast<unsigned long long>(c.blocks[i].bit))
                        : printed("BZ2_bzDecompress(): -4: Failed to decompress block %zu at bit %llu, "
                                  "skipped.\n",
                                  i + 1, static_cast<unsigned long long>(c.blocks[i].bit));
            }
            at += c.blocks[i].size;
        }
        console += c.checkLine;
        for (unsigned threads : {1u, 2u}) {
            SCOPED_TRACE(threads);
            Recovered seen = readRecovering(c.stored, threads, expected.size(), false);
            EXPECT_TRUE(seen.bytes == expected);
            EXPECT_EQ(seen.console, console);
            EXPECT_EQ(seen.gaps, gaps);
            EXPECT_TRUE(seen.readError);
            Recovered past = readRecovering(c.stored, threads, expected.size(), true);
            EXPECT_TRUE(past.bytes == expected + '\0');
            EXPECT_EQ(past.console, console + (c.cutInLast ? "" : unexpectedEnd));
            EXPECT_EQ(past.gaps, gaps);
        }
        Recovered single = readRecovering(c.stored, 1, data.size(), false, false);
        Recovered threaded = readRecovering(c.stored, 2, data.size(), false, false);
        EXPECT_TRUE(threaded.bytes == single.bytes);
        EXPECT_EQ(threaded.console, single.console);
        EXPECT_TRUE(single.readError && threaded.readError);
        EXPECT_EQ(lines(single.console).size(), 1u);
        EXPECT_TRUE(single.gaps.empty() && threaded.gaps.empty());
    }
}

// Threads that cannot be started leave the work to fewer workers, or to the single-threaded filter.
TEST(Bzip2Decoder, ThreadsThatCannotStartChangeNothing) {
    std::string data = mixedData(2200000, 14);
    std::string packed = flipByte(bzip2(data), bzip2(data).size() / 2, 0x10);
    auto refuseAll = [](std::thread&, void (*)(void*), void*) { return false; };
    auto refuseAllButTwo = [](std::thread& thread, void (*body)(void*), void* context) {
        static std::atomic<int> started{0};
        return started++ % 4 < 2 && startSystemThread(thread, body, context);  // two workers, no scanner
    };
    std::vector<size_t> plan(data.size() / 4096, 4096);
    Observed single = readPlanned(packed, 1, plan, After::readPast);
    Observed none = readPlanned(packed, 4, plan, After::readPast, refuseAll);
    Observed partial = readPlanned(packed, 4, plan, After::readPast, refuseAllButTwo);
    EXPECT_EQ(none.workers, 0u);
    EXPECT_TRUE(none == single);
    EXPECT_TRUE(partial == single);
    EXPECT_TRUE(single.readError);
}

}  // namespace
}  // namespace catadump::test
