// Identifies the database (bzip2 wrapping, signature, version), hands the sink the header of its version's
// columns and the stream to the reader of that version, and prints "Conversion complete!" when the reader
// returns.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "input/database_stream.h"
#include "model/entry.h"

namespace catadump {

using ReaderFunction = void (*)(DatabaseStream& stream, EntrySink& sink);

struct DatabaseFormat {
    uint32_t signature;
    uint32_t version;
    ColumnSet columns;
    ReaderFunction reader;
};

inline constexpr uint32_t bzip2Signature = 0x39685A42;  // "BZh9"
inline constexpr uint32_t signature16 = 0x42545751;     // "QWTB"
inline constexpr uint32_t signature17 = 0x62545251;     // "QRTb"

// The formats this build converts; one row per version.
const DatabaseFormat* findDatabaseFormat(uint32_t signature, uint32_t version);

// Reads the start of the database and runs its reader. False when the signature or the version was not
// recognised (nothing is then written to the output).
bool dispatchDatabase(DatabaseStream& stream, EntrySink& sink);

// Whether the source's bytes begin as a database's: a database signature, or bzip2 data whose unwrapped
// bytes begin with one. Every byte it reads is added to `taken`, for the conversion to read again before
// the rest of the source; it reads no more than a bzip2 block can take.
bool startsAsDatabase(ByteSource source, std::vector<uint8_t>& taken);

}  // namespace catadump
