// How a fuzz input is read and converted. The fuzzer (fuzz/) and the regression corpus test share this
// file, so a saved input is replayed exactly as the fuzzer ran it.
//
// A fuzz input is one mode byte followed by the database bytes. The database is first converted raw, as
// stored: one that begins with "BZh9" is decompressed by the dispatch itself (with the threaded decoder),
// as the program would. Then, as the mode byte asks, the same bytes compressed through libbz2 are converted
// with the stream switched to decompressing before the dispatch; those runs must give the raw run's output
// and flags exactly. A database that is bzip2 data already is not compressed again: it is read once more
// through the single-threaded decoder alone, which must agree with the threaded one, damage and all.
//
//   bits 0-1  decompressing runs after the raw run: 0 none, 1 single-threaded, 2 threaded, 3 both
//   bit 2     the raw run reads ahead 16 bytes at a time, so fields straddle refills everywhere
//   bit 3     the compressed copy uses blocks of 900 kB instead of 100 kB
//   bit 4     the compressed copy is several streams: the database's first half, a stream of nothing,
//             the rest
//   bit 5     the decompressing runs get their bytes a few at a time (1 to 7 a read), as a pipe may give
//             them
//   bit 6     every run recovers past damage (--recover), into the csv list with its status column; a
//             database that is bzip2 data already is then read by the raw run alone (the decoders differ
//             in what they recover of damaged blocks)
#pragma once

#include <algorithm>
#include <bzlib.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bzip2/block_decoder.h"
#include "bzip2/blocks.h"
#include "driver/convert.h"

namespace catadump::fuzzing {

enum class Decoding { none, singleThreaded, threaded };

struct FuzzInput {
    std::string_view database;
    size_t readAhead = defaultReadAhead;
    std::vector<Decoding> decodings;  // the decompressing runs to compare with the raw run
    bool compressed = false;          // the database is bzip2 data: the runs read it as it is
    int blockSize = 1;
    bool severalStreams = false;
    bool dribbled = false;
    bool recover = false;
};

inline constexpr size_t smallReadAhead = 16;

inline FuzzInput parseFuzzInput(std::string_view bytes) {
    FuzzInput input;
    if (bytes.empty()) return input;
    auto mode = static_cast<uint8_t>(bytes[0]);
    input.database = bytes.substr(1);
    if (mode & 0x01) input.decodings.push_back(Decoding::singleThreaded);
    if (mode & 0x02) input.decodings.push_back(Decoding::threaded);
    if (mode & 0x04) input.readAhead = smallReadAhead;
    input.blockSize = (mode & 0x08) ? 9 : 1;
    input.severalStreams = (mode & 0x10) != 0;
    input.dribbled = (mode & 0x20) != 0;
    input.recover = (mode & 0x40) != 0;
    // A database that is itself bzip2 data is decompressed by the dispatch in the raw run; wrapped again it
    // would be an unknown signature, so it is read as it is, by the single-threaded decoder.
    if (input.database.substr(0, 4) == "BZh9") {
        input.compressed = true;
        if (!input.decodings.empty()) input.decodings = {Decoding::singleThreaded};
        if (input.recover) input.decodings.clear();
    }
    return input;
}

// What a conversion gave: enough to tell two runs apart without keeping the output, which a deep tree
// of long names can make far larger than its database.
struct Outcome {
    bool recognised = false;
    RunFlags flags;
    const char* fatalLine = nullptr;  // the fatal condition that ended the run, if one did
    std::string console;
    uint64_t csvBytes = 0;
    uint64_t csvHash = 0;     // of the output's whole eight-byte words, in order
    uint8_t pending[8] = {};  // the bytes after the last whole word
    size_t pendingCount = 0;
    char lastTwo[2] = {0, 0};  // the output's last two bytes

    // The output holds whole rows: nothing, or bytes that end with a line end.
    bool endsWithWholeRow() const { return csvBytes == 0 || (lastTwo[0] == '\r' && lastTwo[1] == '\n'); }
};

inline bool sameOutcome(const Outcome& a, const Outcome& b) {
    return a.recognised == b.recognised && a.flags.readError == b.flags.readError &&
           a.flags.writeError == b.flags.writeError && a.flags.corrupt == b.flags.corrupt &&
           a.csvBytes == b.csvBytes && a.csvHash == b.csvHash &&
           std::memcmp(a.pending, b.pending, a.pendingCount) == 0;
}

// Folds the output into the hash eight bytes at a time, however it is split into writes: up to seven bytes
// wait in `pending` for the next write.
inline void foldWord(Outcome& outcome, uint64_t word) {
    uint64_t hash = (outcome.csvHash ^ word) * 0x9E3779B97F4A7C15;
    outcome.csvHash = hash ^ (hash >> 29);
}

inline bool hashIntoOutcome(void* context, const void* bytes, size_t n) {
    auto& outcome = *static_cast<Outcome*>(context);
    const auto* p = static_cast<const uint8_t*>(bytes);
    size_t i = 0;
    while (i < n && outcome.pendingCount != 0) {
        outcome.pending[outcome.pendingCount++] = p[i++];
        if (outcome.pendingCount == 8) {
            uint64_t word;
            std::memcpy(&word, outcome.pending, 8);
            foldWord(outcome, word);
            outcome.pendingCount = 0;
        }
    }
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, 8);
        foldWord(outcome, word);
    }
    for (; i < n; ++i) outcome.pending[outcome.pendingCount++] = p[i];
    if (n >= 2) {
        outcome.lastTwo[0] = static_cast<char>(p[n - 2]);
        outcome.lastTwo[1] = static_cast<char>(p[n - 1]);
    } else if (n == 1) {
        outcome.lastTwo[0] = outcome.lastTwo[1];
        outcome.lastTwo[1] = static_cast<char>(p[0]);
    }
    outcome.csvBytes += n;
    return true;
}

// The bytes as one bzip2 stream with the given block size (1 to 9). Empty if the library fails.
inline std::string bzip2Compress(std::string_view plain, int blockSize) {
    auto room = static_cast<unsigned>(plain.size() + plain.size() / 100 + 600);
    std::string packed(room, '\0');
    std::string source(plain);
    if (BZ2_bzBuffToBuffCompress(packed.data(), &room, source.data(), static_cast<unsigned>(source.size()),
                                 blockSize, 0, 0) != BZ_OK) {
        return {};
    }
    packed.resize(room);
    return packed;
}

// The compressed copy as several streams: the first half, a stream of nothing, the rest. Empty if the
// library fails.
inline std::string bzip2CompressInStreams(std::string_view plain, int blockSize) {
    std::string_view first = plain.substr(0, plain.size() / 2);
    std::string parts[] = {bzip2Compress(first, blockSize), bzip2Compress({}, blockSize),
                           bzip2Compress(plain.substr(first.size()), blockSize)};
    for (const std::string& part : parts) {
        if (part.empty()) return {};
    }
    return parts[0] + parts[1] + parts[2];
}

// Every candidate block of bzip2 data (from each block magic to the magic after it), decoded by our block
// decoder and by the library: where ours takes a block, the library must take it too and give the same
// bytes; on a stream the library wrote (`written`), ours must take every block. Returns the index of the
// first block where that fails, or -1. Only the first few blocks are tried, which is all a fuzz input holds.
inline int firstBlockDisagreement(std::string_view packed, bool written, size_t maxBlocks = 8) {
    auto* bytes = reinterpret_cast<const uint8_t*>(packed.data());
    int level = bzip2StreamLevel(bytes, packed.size());
    if (level == 0) return -1;
    std::vector<MagicMark> marks;
    findMagics(bytes, packed.size(), 0, marks);
    Bzip2BlockScratch scratch;
    std::vector<uint8_t> ours, theirs;
    for (size_t i = 0; i + 1 < marks.size() && i < maxBlocks; ++i) {
        if (marks[i].kind != MagicKind::block) continue;
        size_t length = 0;
        CodedBlock block{bytes, packed.size(), marks[i].bit, marks[i + 1].bit, level};
        if (!decodeBzip2Block(block, scratch, ours, length)) {
            if (written) return static_cast<int>(i);
            continue;
        }
        bool whole = decodeOneBlockStream(oneBlockStream(bytes, marks[i].bit, marks[i + 1].bit, level),
                                          theirs, size_t{48} << 20);
        if (!whole || theirs.size() != length || std::memcmp(theirs.data(), ours.data(), length) != 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Converts the stored bytes with fresh flags, the output going into the outcome. For a decompressing run
// the stored bytes are bzip2 data and the stream reads them through the decoder from the first byte on.
inline void appendConsoleLine(void* context, const char* text, size_t n) {
    static_cast<Outcome*>(context)->console.append(text, n);
}

// Memory read a few bytes at a time, 1 to 7 in turn.
struct DribbledInput {
    MemoryInput memory;
    size_t next = 1;
};
inline int64_t dribbledRead(void* context, void* destination, size_t n) {
    auto& input = *static_cast<DribbledInput*>(context);
    size_t count = std::min({n, input.next, input.memory.size - input.memory.position});
    input.next = input.next % 7 + 1;
    if (count > 0) std::memcpy(destination, input.memory.data + input.memory.position, count);
    input.memory.position += count;
    return static_cast<int64_t>(count);
}
inline int dribbledError(void*) { return 0; }

inline Outcome convertStored(std::string_view stored, Decoding decoding, size_t readAhead = defaultReadAhead,
                             bool dribbled = false, bool recover = false) {
    DribbledInput input{{reinterpret_cast<const uint8_t*>(stored.data()), stored.size(), 0}};
    ByteSource source =
        dribbled ? ByteSource{&input, dribbledRead, dribbledError} : memorySource(input.memory);
    Outcome outcome;
    ConversionOptions options;
    options.readAhead = readAhead;
    if (recover) {
        options.recover = true;
        options.format = findOutputFormat("csv");
    }
    if (decoding != Decoding::none) {
        options.decompressFromStart = true;
        options.decoderThreads = decoding == Decoding::singleThreaded ? 1 : 2;
    }
    ConversionResult result =
        convert(source, ByteSink{&outcome, hashIntoOutcome}, Console{&outcome, appendConsoleLine}, options);
    outcome.recognised = result.recognised;
    outcome.flags = result.flags;
    outcome.fatalLine = result.fatalLine;
    return outcome;
}

}  // namespace catadump::fuzzing
