// bzip2 wrapping of a database: one bzip2 stream over the whole raw database, as the converter expects.
// The streaming compressor sits between a ByteSink and its final drain, so huge databases never have to
// exist uncompressed in memory.
#pragma once

#include <bzlib.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catagen/sink.h"

namespace catagen {

struct Bzip2Compressor {
    bz_stream stream{};
    Drain out;
    std::vector<char> outBuffer;
    bool started = false;
    bool failed = false;  // the library reported something other than progress
    Bzip2Compressor() = default;
    Bzip2Compressor(const Bzip2Compressor&) = delete;
    Bzip2Compressor& operator=(const Bzip2Compressor&) = delete;
    ~Bzip2Compressor();
};

// blockSize 1..9 (the "BZh<digit>" of the stream); anything else is clamped into that range.
std::unique_ptr<Bzip2Compressor> startBzip2(int blockSize, Drain out);
void feedBzip2(Bzip2Compressor& compressor, std::string_view bytes);
// Ends the stream and hands the last compressed bytes to `out`; false when compression failed.
bool finishBzip2(Bzip2Compressor& compressor);
// A drain that feeds the compressor, for use as a ByteSink's drain.
Drain bzip2Drain(Bzip2Compressor& compressor);

// The whole of `raw` as one bzip2 stream.
std::string bzip2Wrap(std::string_view raw, int blockSize = 9);

}  // namespace catagen
