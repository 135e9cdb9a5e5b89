// The database readers, one per version, as the dispatch table binds them. Each is given the stream just
// after the version word, and the sink that has had the header of the version's columns; it hands on every
// entry it reads and returns when the body ends or a structural error stops it (reported, corrupt flag).
#pragma once

#include "input/database_stream.h"
#include "model/entry.h"

namespace catadump {

// QWTB 1.6.6 and 1.6.7.
void readBody166(DatabaseStream& stream, EntrySink& sink);
void readBody167(DatabaseStream& stream, EntrySink& sink);

// QRTb 1.7.5 (with its decode-size field) and 1.7.8 (without it).
void readBody175(DatabaseStream& stream, EntrySink& sink);
void readBody178(DatabaseStream& stream, EntrySink& sink);

// QRTb 1.7.17 and 1.7.20: one body layout; the flags word chooses the value columns.
void readBody1717(DatabaseStream& stream, EntrySink& sink);
void readBody1720(DatabaseStream& stream, EntrySink& sink);

}  // namespace catadump
