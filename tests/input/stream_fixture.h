// A DatabaseStream over bytes in memory, raw or through the bzip2 filter, with the console captured; shared
// by the stream and encoding tests.
#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <string_view>

#include "input/database_stream.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {

enum class Mode { raw, compressed };

inline const char* modeName(Mode mode) { return mode == Mode::raw ? "Raw" : "Compressed"; }
inline void PrintTo(Mode mode, std::ostream* out) { *out << modeName(mode); }

class StreamFixture {
    // Declared before the stream, so that they outlive it (and the decoder's threads).
    CapturedRun captured_;
    std::unique_ptr<CountingInput> input_;

  protected:
    RunContext& run() { return captured_.run; }
    RunFlags& flags() { return captured_.run.flags; }
    void resetFlags() { captured_.run.flags = {}; }

    // Opens the stream over the plain database bytes, compressing them first in compressed mode.
    void open(std::string_view plain, Mode mode, size_t readAhead = defaultReadAhead) {
        openStored(mode == Mode::compressed ? bzip2(plain) : std::string(plain), mode, readAhead);
    }

    // Opens the stream over exactly these stored bytes (already compressed, or damaged, in compressed mode).
    void openStored(std::string stored, Mode mode, size_t readAhead = defaultReadAhead) {
        input_ = std::make_unique<CountingInput>(std::move(stored));
        openDatabaseStream(stream, captured_.run, input_->source(), readAhead);
        if (mode == Mode::compressed) {
            ASSERT_TRUE(switchToDecompressing(stream, nullptr, 0));
        }
    }

    // Everything printed so far.
    const std::string& console() const { return captured_.console; }

    int sourceReads() const { return input_->reads; }

    DatabaseStream stream;
};

// One of the three lines a failure of the bzip2 filter prints.
inline const char* inflateFailureLine =
    "(ReadFile\\(\\): -?[0-9]+: Failed to read\\.|"
    "BZ2_bzDecompress\\(\\): -?[0-9]+: Failed to decompress\\.|"
    "BZ2_bzDecompress\\(\\): 4: Unexpected EOF in decompression stream\\.)\n";

}  // namespace catadump::test
