#include "input/database_stream.h"

#include <algorithm>
#include <new>
#include <vector>

namespace catadump {

namespace {

void markFailed(DatabaseStream& stream) { stream.run->flags.readError = true; }

// Raw mode: one read of the source into the buffer. The source is asked again on every refill, also after
// it has ended, so a raw read at the end of the file fails each time it is made.
void fillFromSource(DatabaseStream& stream) {
    int64_t got = stream.source.read(stream.source.context, stream.buffer.get(), stream.capacity);
    stream.cursor = stream.buffer.get();
    stream.limit = stream.cursor + (got > 0 ? got : 0);
    if (got > 0) {
        stream.rawBytesRead += static_cast<uint64_t>(got);
        stream.delivered += static_cast<uint64_t>(got);
    }
}

// Decompressing mode: the decoder's next piece is read in place. Once a read has failed, nothing more is
// asked of the decoder; under recovery it goes on past the damage it reported, and is asked still.
void fillFromDecoder(DatabaseStream& stream) {
    DecodedPiece piece;
    if (!failed(stream) || stream.run->recover) piece = nextDecodedPiece(*stream.decoder);
    if (piece.size == 0) {
        stream.cursor = stream.limit = stream.buffer.get();
        return;
    }
    stream.cursor = piece.data;
    stream.limit = piece.data + piece.size;
    stream.delivered += piece.size;
}

}  // namespace

void openDatabaseStream(DatabaseStream& stream, RunContext& run, ByteSource source, size_t readAhead) {
    stream.run = &run;
    stream.source = source;
    stream.raw = true;
    stream.capacity = std::max<size_t>(readAhead, 16);
    stream.buffer.reset(new (std::nothrow) uint8_t[stream.capacity]);
    if (!stream.buffer) fatal("Out of Memory\n");
    stream.cursor = stream.limit = stream.buffer.get();
    stream.decoder.reset();
    stream.rawBytesRead = 0;
    stream.delivered = 0;
}

bool switchToDecompressing(DatabaseStream& stream, const uint8_t* taken, size_t takenSize, unsigned threads) {
    std::vector<uint8_t> replay(taken, taken + takenSize);
    replay.insert(replay.end(), stream.cursor, stream.limit);
    auto decoder = startBzip2Decoder(*stream.run, stream.source, std::move(replay), threads);
    if (!decoder) return false;
    stream.decoder = std::move(decoder);
    stream.raw = false;
    stream.cursor = stream.limit = stream.buffer.get();
    stream.delivered = 0;  // positions from now on are those of the decoded data
    return true;
}

void finishDatabaseStream(DatabaseStream& stream) {
    if (!stream.raw && stream.cursor == stream.limit && reportWaitingFailure(*stream.decoder)) {
        markFailed(stream);
    }
    // A reader that looks ahead under recovery may have put the flag back as it was around a refill.
    if (!stream.raw && damageGonePast(*stream.decoder)) markFailed(stream);
}

const std::vector<uint64_t>& dataGaps(const DatabaseStream& stream) {
    static const std::vector<uint64_t> none;
    return stream.decoder ? lostBlockOffsets(*stream.decoder) : none;
}

bool gapWithinDecoded(const DatabaseStream& stream, uint64_t from, uint64_t to) {
    const std::vector<uint64_t>& gaps = dataGaps(stream);
    auto first = std::lower_bound(gaps.begin(), gaps.end(), from);
    return first != gaps.end() && *first < to;
}

uint64_t databaseBytesRead(const DatabaseStream& stream) {
    return stream.raw ? stream.rawBytesRead : compressedBytesRead(*stream.decoder);
}

size_t fillReadAhead(DatabaseStream& stream) {
    if (stream.cursor != stream.limit) return bufferedBytes(stream);
    if (stream.beforeRefill != nullptr) stream.beforeRefill(stream.refillContext);
    if (stream.raw) {
        fillFromSource(stream);
    } else {
        fillFromDecoder(stream);
    }
    if (stream.cursor == stream.limit) markFailed(stream);
    if (stream.onRefill != nullptr) stream.onRefill(stream.refillContext);
    return bufferedBytes(stream);
}

size_t takeDataBytes(DatabaseStream& stream, uint8_t* destination, size_t n) {
    if (bufferedBytes(stream) == 0 && stream.raw) {
        if (stream.beforeRefill != nullptr) stream.beforeRefill(stream.refillContext);
        int64_t got = stream.source.read(stream.source.context, destination, n);
        if (got <= 0) return 0;
        stream.rawBytesRead += static_cast<uint64_t>(got);
        stream.delivered += static_cast<uint64_t>(got);
        if (stream.onRefill != nullptr) stream.onRefill(stream.refillContext);
        return static_cast<size_t>(got);
    }
    if (bufferedBytes(stream) == 0) {
        bool before = stream.run->flags.readError;
        size_t got = fillReadAhead(stream);
        stream.run->flags.readError = before;
        if (got == 0) return 0;
    }
    size_t piece = std::min(bufferedBytes(stream), n);
    std::memcpy(destination, stream.cursor, piece);
    stream.cursor += piece;
    return piece;
}

void readBytesSlow(DatabaseStream& stream, size_t n, uint8_t* destination) {
    uint8_t* out = destination;
    size_t wanted = n;
    while (wanted > 0) {
        size_t available = bufferedBytes(stream);
        if (available == 0) {
            // A raw read larger than the buffer goes straight to its destination.
            if (stream.raw && wanted >= stream.capacity) {
                int64_t got = stream.source.read(stream.source.context, out, wanted);
                if (got > 0) {
                    stream.rawBytesRead += static_cast<uint64_t>(got);
                    stream.delivered += static_cast<uint64_t>(got);
                    out += got;
                    wanted -= static_cast<size_t>(got);
                    continue;
                }
                markFailed(stream);
                break;
            }
            if ((available = fillReadAhead(stream)) == 0) break;
        }
        size_t piece = std::min(wanted, available);
        std::memcpy(out, stream.cursor, piece);
        stream.cursor += piece;
        out += piece;
        wanted -= piece;
    }
    if (wanted > 0) std::memset(destination, 0, n);
}

bool skipStreamBytes(DatabaseStream& stream, uint64_t n) {
    return readPieces(stream, n, [](const uint8_t*, size_t) {});
}

}  // namespace catadump
