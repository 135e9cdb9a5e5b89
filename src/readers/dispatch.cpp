#include "readers/dispatch.h"

#include <algorithm>
#include <iterator>

#include "bzip2/filter.h"

#include "io/run_context.h"
#include "readers/readers.h"

namespace catadump {

namespace {

const DatabaseFormat formats[] = {
    {signature16, 0x01060006, ColumnSet::nameAndAttributes, readBody166},
    {signature16, 0x01060007, ColumnSet::nameAndAttributes, readBody167},
    {signature17, 0x01070005, ColumnSet::nameAndAttributes, readBody175},
    {signature17, 0x01070008, ColumnSet::nameAndAttributes, readBody178},
    {signature17, 0x01070011, ColumnSet::withValues, readBody1717},
    {signature17, 0x01070014, ColumnSet::withValues, readBody1720},
};

// The wrappings a database file may come in, known by their first four bytes: the console line that says
// so, the switch of the stream to reading through the filter, and the fatal line when it cannot start.
struct Wrapping {
    uint32_t signature;
    const char* line;
    bool (*unwrap)(DatabaseStream& stream, const uint8_t* taken, size_t takenSize, unsigned threads);
    const char* failure;
};

const Wrapping wrappings[] = {
    {bzip2Signature, "Database is compressed, decompressing with bz2...\n", switchToDecompressing,
     "failed to alloc bz2 stream data\n"},
};

const Wrapping* findWrapping(uint32_t signature) {
    for (const Wrapping& wrapping : wrappings) {
        if (wrapping.signature == signature) return &wrapping;
    }
    return nullptr;
}

uint32_t readSignature(DatabaseStream& stream, uint8_t (&bytes)[4]) {
    readBytes(stream, 4, bytes);
    say(*stream.run, "Magic %c%c%c%c\n", bytes[0], bytes[1], bytes[2], bytes[3]);
    return loadU32(bytes);
}

}  // namespace

const DatabaseFormat* findDatabaseFormat(uint32_t signature, uint32_t version) {
    for (const DatabaseFormat& format : formats) {
        if (format.signature == signature && format.version == version) {
            return &format;
        }
    }
    return nullptr;
}

namespace {

bool identifyAndConvert(DatabaseStream& stream, EntrySink& sink) {
    uint8_t bytes[4];
    uint32_t signature = readSignature(stream, bytes);
    // Only the file itself may be wrapped: unwrapped data that begins with a wrapping's signature again is
    // not a database, and unwrapping it once more would only reproduce it. The signature just read is where
    // the wrapped data begins.
    if (const Wrapping* wrapping = findWrapping(signature); wrapping != nullptr && stream.raw) {
        say(*stream.run, "%s", wrapping->line);
        if (!wrapping->unwrap(stream, bytes, sizeof bytes, stream.decoderThreads)) fatal(wrapping->failure);
        signature = readSignature(stream, bytes);
    }
    if (signature != signature16 && signature != signature17) {
        say(*stream.run, "Unknown DB type %08x %c%c%c%c\n", signature, signature & 0xFF,
            (signature >> 8) & 0xFF, (signature >> 16) & 0xFF, signature >> 24);
        return false;
    }
    uint32_t version = readU32(stream);
    say(*stream.run, "Version %u.%u.%u\n", version >> 24, (version >> 16) & 0xFF, version & 0xFFFF);
    const DatabaseFormat* format = findDatabaseFormat(signature, version);
    if (format == nullptr) {
        say(*stream.run, "Unknown DB version %08x\n", version);
        return false;
    }
    sendHeader(sink, version, format->columns);
    format->reader(stream, sink);
    say(*stream.run, "Conversion complete!\n");
    return true;
}

}  // namespace

bool dispatchDatabase(DatabaseStream& stream, EntrySink& sink) {
    bool recognised = identifyAndConvert(stream, sink);
    finishDatabaseStream(stream);
    return recognised;
}

namespace {

// A source that keeps what it reads, up to a limit past which it gives nothing more.
struct TakenInput {
    ByteSource inner;
    std::vector<uint8_t>& taken;
    size_t limit;
};

int64_t readTaken(void* context, void* destination, size_t n) {
    auto& input = *static_cast<TakenInput*>(context);
    if (input.taken.size() >= input.limit) return 0;
    int64_t got =
        input.inner.read(input.inner.context, destination, std::min(n, input.limit - input.taken.size()));
    if (got > 0) {
        const auto* bytes = static_cast<const uint8_t*>(destination);
        input.taken.insert(input.taken.end(), bytes, bytes + got);
    }
    return got;
}

int takenError(void* context) {
    auto& input = *static_cast<TakenInput*>(context);
    return input.inner.lastError != nullptr ? input.inner.lastError(input.inner.context) : 0;
}

bool isDatabaseSignature(const uint8_t* bytes) {
    uint32_t signature = loadU32(bytes);
    return signature == signature16 || signature == signature17;
}

}  // namespace

bool startsAsDatabase(ByteSource source, std::vector<uint8_t>& taken) {
    // The first block of a bzip2 stream is whole before any of its bytes come out: at most 900,000 bytes
    // before compression, and a little more than that after in the worst case.
    TakenInput input{source, taken, 2u << 20};
    ByteSource recorded{&input, readTaken, takenError};
    uint8_t bytes[4];
    size_t got = 0;
    for (int64_t n = 1; got < 4 && n > 0; got += n > 0 ? static_cast<size_t>(n) : 0) {
        n = readTaken(&input, bytes + got, 4 - got);
    }
    if (got < 4) return false;
    if (isDatabaseSignature(bytes)) return true;
    if (bytes[0] != 'B' || bytes[1] != 'Z' || bytes[2] != 'h' || bytes[3] < '1' || bytes[3] > '9')
        return false;
    ChainedInput chained;
    addPiece(chained, bytes, 4);
    chained.rest = recorded;
    ByteSource wrapped = chainedSource(chained);
    Bzip2Filter filter;
    if (!startBzip2Filter(filter)) return false;
    uint8_t unwrapped[4];
    size_t out = 0;
    for (size_t n = 1; out < 4 && n > 0; out += n) n = inflateInto(filter, wrapped, unwrapped + out, 4 - out);
    return out == 4 && isDatabaseSignature(unwrapped);
}

}  // namespace catadump
