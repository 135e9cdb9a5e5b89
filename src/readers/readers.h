// The format readers, one per database version family, as the dispatch table calls them. Each is given the
// stream positioned just after the version word and the writer holding the header line; each ends with the
// line "Conversion complete!".
#pragma once

#include "stream/csv_writer.h"
#include "stream/database_stream.h"

namespace catadump {

// QRTb 1.7.5 (with its decode-size field) and 1.7.8 (without it).
void readDatabaseEarly(DatabaseStream& stream, CsvWriter& writer, bool hasDecodeSize);
void readDatabase175(DatabaseStream& stream, CsvWriter& writer);
void readDatabase178(DatabaseStream& stream, CsvWriter& writer);

// QRTb 1.7.17 and 1.7.20: one body layout; the flags word chooses the value columns.
void readDatabaseLate(DatabaseStream& stream, CsvWriter& writer);

// QWTB 1.6.6 and 1.6.7.
void readBody166(DatabaseStream& stream, CsvWriter& writer);
void readBody167(DatabaseStream& stream, CsvWriter& writer);

} // namespace catadump
