#include "readers/dispatch.h"

#include <iterator>

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

}  // namespace catadump
