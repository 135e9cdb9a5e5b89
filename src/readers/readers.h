// The format readers, one per database version family, as the dispatch table calls them. Each is given the
// stream positioned just after the version word and the output holding the header line; each ends with the
// line "Conversion complete!".
#pragma once

#include "formats/entry.h"
#include "stream/database_stream.h"

namespace catadump {

// QRTb 1.7.5 (with its decode-size field) and 1.7.8 (without it).
void readDatabaseEarly(DatabaseStream& stream, RowOutput& output, bool hasDecodeSize);
void readDatabase175(DatabaseStream& stream, RowOutput& output);
void readDatabase178(DatabaseStream& stream, RowOutput& output);

// QRTb 1.7.17 and 1.7.20: one body layout; the flags word chooses the value columns.
void readDatabaseLate(DatabaseStream& stream, RowOutput& output);

// QWTB 1.6.6 and 1.6.7.
void readBody166(DatabaseStream& stream, RowOutput& output);
void readBody167(DatabaseStream& stream, RowOutput& output);

} // namespace catadump
