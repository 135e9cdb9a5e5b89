// libFuzzer target: the whole conversion (dispatch and reader) on an in-memory database, with the output
// hashed in memory. The first byte of an input chooses the runs (see tests/damage/fuzz_input.h): the raw run
// always, then as asked the same database compressed through libbz2 (as one stream or several, read at once
// or a few bytes at a time) and read by the single-threaded or the threaded decoder, which must agree with
// the raw run byte for byte. A database that is bzip2 data
// already is read again by the single-threaded decoder, which must agree with the dispatch's threaded one.
//
// Besides what the sanitizers catch, an input fails when
//   - a run leaves a partial row at the end of the output,
//   - a database that was not recognised left anything in the output,
//   - a decompressing run differs from the raw run in output, flags or fatal condition,
//   - our block decoder takes a block of the bzip2 data that the library refuses, or decodes it otherwise,
//     or refuses a block of the copy that libbz2 compressed.
// The fuzzer's own limits (-timeout, -rss_limit_mb, -malloc_limit_mb) catch runs that take too long or
// too much memory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "damage/fuzz_input.h"

namespace {

using namespace catadump;
using namespace catadump::fuzzing;

struct Run {
    Outcome outcome;
    const char* fatalLine = nullptr;  // the fatal condition that ended the run, if one did
};

Run guardedConvert(std::string_view stored, Decoding decoding, size_t readAhead, bool dribbled,
                   bool recover) {
    Run run;
    run.outcome = convertStored(stored, decoding, readAhead, dribbled, recover);
    run.fatalLine = run.outcome.fatalLine;
    return run;
}

[[noreturn]] void failInput(const char* what) {
    std::fprintf(stderr, "catadump_fuzz: %s\n", what);
    std::abort();
}

void checkShape(const Run& run) {
    if (run.fatalLine != nullptr) return;
    if (!run.outcome.endsWithWholeRow()) failInput("the output ends inside a row");
    if (!run.outcome.recognised && run.outcome.csvBytes != 0)
        failInput("an unrecognised database left output");
}

const char* decodingName(Decoding decoding) {
    return decoding == Decoding::singleThreaded ? "single-threaded" : "threaded";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FuzzInput input = parseFuzzInput({reinterpret_cast<const char*>(data), size});
    Run raw = guardedConvert(input.database, Decoding::none, input.readAhead, false, input.recover);
    checkShape(raw);
    if (input.compressed && firstBlockDisagreement(input.database, false) >= 0) {
        failInput("our block decoder took a block that the library refuses or decodes otherwise");
    }
    if (input.decodings.empty()) return 0;

    std::string packed = input.compressed       ? std::string(input.database)
                         : input.severalStreams ? bzip2CompressInStreams(input.database, input.blockSize)
                                                : bzip2Compress(input.database, input.blockSize);
    if (packed.empty()) failInput("libbz2 could not compress the database");
    if (!input.compressed && firstBlockDisagreement(packed, true) >= 0) {
        failInput("our block decoder refused or misdecoded a block that libbz2 wrote");
    }
    for (Decoding decoding : input.decodings) {
        Run decoded = guardedConvert(packed, decoding, defaultReadAhead, input.dribbled, input.recover);
        checkShape(decoded);
        bool sameFatal = (raw.fatalLine == nullptr) == (decoded.fatalLine == nullptr) &&
                         (raw.fatalLine == nullptr || std::strcmp(raw.fatalLine, decoded.fatalLine) == 0);
        if (!sameFatal || (raw.fatalLine == nullptr && !sameOutcome(raw.outcome, decoded.outcome))) {
            std::fprintf(stderr, "catadump_fuzz: the %s decoder disagrees with the raw run%s\n",
                         decodingName(decoding),
                         input.compressed ? " (the dispatch's threaded decoder)" : "");
            std::fprintf(stderr, "  raw:     fatal %s, %llu bytes, flags r%d w%d c%d\n",
                         raw.fatalLine ? raw.fatalLine : "none",
                         static_cast<unsigned long long>(raw.outcome.csvBytes), raw.outcome.flags.readError,
                         raw.outcome.flags.writeError, raw.outcome.flags.corrupt);
            std::fprintf(stderr, "  decoded: fatal %s, %llu bytes, flags r%d w%d c%d\n",
                         decoded.fatalLine ? decoded.fatalLine : "none",
                         static_cast<unsigned long long>(decoded.outcome.csvBytes),
                         decoded.outcome.flags.readError, decoded.outcome.flags.writeError,
                         decoded.outcome.flags.corrupt);
            std::abort();
        }
    }
    return 0;
}
