// What the formats share: the table's rows, the dates as text and numbers appended to a row's text.
#pragma once

#include <cstdint>
#include <string>

#include "formats/entry.h"

namespace catadump {

extern const OutputFormat qlxOutput;
extern const OutputFormat csvOutput;
extern const OutputFormat jsonlOutput;
extern const OutputFormat bodyfileOutput;

// The decimal digits of the value.
void appendNumber(std::string& text, uint64_t value);

// The largest file time that ISO 8601 text can show: 9999-12-31T23:59:59.9999999Z.
inline constexpr uint64_t lastIsoFileTime = 2650467743999999999ull;

// The file time as ISO 8601 UTC to 100 ns, "2021-03-04T05:06:07.1234567Z"; only for values up to
// lastIsoFileTime.
void appendIsoDate(std::string& text, uint64_t fileTime);

// Whole seconds since 1970-01-01 UTC; 0 for a time before then.
uint64_t unixSeconds(uint64_t fileTime);

inline void writeText(RowOutput& output, const std::string& text) { writeString(*output.writer, text); }

} // namespace catadump
