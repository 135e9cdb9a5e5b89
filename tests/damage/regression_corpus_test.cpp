// Replays the fuzzer's regression corpus, fuzz/regressions: every input there once crashed the fuzzer, hung
// or took too much memory. Each file runs as the fuzzer ran it (its first byte chooses the runs), and
// besides raw with both read-ahead sizes and compressed through both decoders; every run must complete,
// leave whole rows, agree with the others and end with the outcome the table below gives for the file.
// Under the sanitizers (make check-asan) this is also where a fault that came back shows.
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "damage/fuzz_input.h"
#include "support/conversion_harness.h"

namespace catadump::test {
namespace {

using namespace catadump::fuzzing;

// What a file's conversion must end with: a fatal condition (the program then prints its line and exits
// with code 1), or the flags that decide the exit code (0 only when recognised and no flag is set).
struct Expected {
    const char* file;
    bool recognised;
    bool readError;
    bool corrupt;
    const char* fatalLine;  // null when the run must not end on a fatal condition
};
void PrintTo(const Expected& expected, std::ostream* out) { *out << expected.file; }

// One entry per file of fuzz/regressions, with what the fuzzer found in it.
const Expected expectations[] = {
    // A 1.7.8 database whose files hang directly from a filesystem: the row of such a file copied its empty
    // folder path from a null pointer (undefined behaviour, caught by UndefinedBehaviorSanitizer).
    {"null-path-for-file-under-filesystem", true, false, false, nullptr},
    // A 1.7.20 database in the first of three bzip2 blocks, the second block's stored check damaged. The
    // reader needs nothing from it; the single-threaded decoder, reading ahead, met the damage and reported
    // it at the end of the run while the threaded decoder never looked at that block.
    {"bzip2-damage-past-the-database", true, false, false, nullptr},
    // Bzip2 data, no database known inside, in which a magic follows a block's magic within that block's
    // CRC: the threaded decoder cut a "block" shorter than its own CRC and copied that CRC from past the
    // block's bytes (a heap read out of bounds, caught by AddressSanitizer in the fuzzer).
    {"bzip2-block-shorter-than-its-check", false, true, false, nullptr},
};

const std::string corpusDirectory = std::string(CATADUMP_SOURCE_DIR) + "/fuzz/regressions";

std::string readCorpusFile(const char* name) {
    std::optional<std::string> bytes = readWholeFile(corpusDirectory + "/" + name);
    if (!bytes) ADD_FAILURE() << "cannot read " << name;
    return bytes.value_or("");
}

TEST(RegressionCorpus, EveryFileHasAnExpectationAndEveryExpectationAFile) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(corpusDirectory)) {
        if (entry.is_regular_file()) files.insert(entry.path().filename().string());
    }
    std::set<std::string> listed;
    for (const Expected& expected : expectations) listed.insert(expected.file);
    EXPECT_EQ(files, listed);
}

class RegressionInput : public ::testing::TestWithParam<Expected> {};

// The runs of one file: as the fuzzer made them, then the others.
struct PlannedRun {
    std::string name;
    std::string stored;
    Decoding decoding;
    size_t readAhead;
    bool dribbled = false;
};

std::vector<PlannedRun> plannedRuns(const std::string& bytes) {
    FuzzInput input = parseFuzzInput(bytes);
    std::string database(input.database);
    std::vector<PlannedRun> runs = {
        {"raw as fuzzed", database, Decoding::none, input.readAhead},
        {"raw, small read-ahead", database, Decoding::none, smallReadAhead},
        {"raw, default read-ahead", database, Decoding::none, defaultReadAhead},
    };
    // A database that is bzip2 data already is decompressed by the dispatch, with the threaded decoder;
    // wrapped again it would only be an unknown signature, so both decoders read it as it is (but for a
    // recovering run, where they differ in what they recover of damaged blocks).
    if (input.compressed && input.recover) return runs;
    if (input.compressed) {
        runs.push_back({"single-threaded, as stored", database, Decoding::singleThreaded, defaultReadAhead});
        runs.push_back({"threaded, as stored", database, Decoding::threaded, defaultReadAhead});
        runs.push_back({"threaded, as stored, a few bytes a read", database, Decoding::threaded,
                        defaultReadAhead, true});
    } else {
        for (int blockSize : {1, 9}) {
            std::string packed = bzip2Compress(database, blockSize);
            std::string size = std::to_string(blockSize);
            runs.push_back(
                {"single-threaded, block size " + size, packed, Decoding::singleThreaded, defaultReadAhead});
            runs.push_back({"threaded, block size " + size, packed, Decoding::threaded, defaultReadAhead});
        }
        std::string streams = bzip2CompressInStreams(database, 1);
        for (Decoding decoding : {Decoding::singleThreaded, Decoding::threaded}) {
            runs.push_back(
                {"several streams, a few bytes a read", streams, decoding, defaultReadAhead, true});
        }
    }
    return runs;
}

TEST_P(RegressionInput, CompletesWithItsOutcomeInEveryMode) {
    const Expected& expected = GetParam();
    std::string bytes = readCorpusFile(expected.file);
    ASSERT_FALSE(bytes.empty());
    std::vector<PlannedRun> runs = plannedRuns(bytes);
    bool libbz2Wrote = !parseFuzzInput(bytes).compressed;  // the compressed runs read libbz2's own copy
    bool recover = parseFuzzInput(bytes).recover;

    Outcome first;
    for (size_t i = 0; i < runs.size(); ++i) {
        const PlannedRun& run = runs[i];
        SCOPED_TRACE(run.name);
        Outcome outcome = convertStored(run.stored, run.decoding, run.readAhead, run.dribbled, recover);
        const std::string& console = outcome.console;
        if (run.decoding != Decoding::none) {
            EXPECT_EQ(firstBlockDisagreement(run.stored, libbz2Wrote), -1);
        }
        if (expected.fatalLine != nullptr) {
            EXPECT_STREQ(outcome.fatalLine, expected.fatalLine);
            continue;
        }
        EXPECT_EQ(outcome.fatalLine, nullptr) << outcome.fatalLine;

        EXPECT_EQ(outcome.recognised, expected.recognised);
        EXPECT_EQ(outcome.flags.readError, expected.readError);
        EXPECT_EQ(outcome.flags.corrupt, expected.corrupt);
        EXPECT_FALSE(outcome.flags.writeError);
        EXPECT_TRUE(outcome.endsWithWholeRow());
        if (expected.recognised) {
            EXPECT_NE(console.find("Conversion complete!\n"), std::string::npos) << console;
        } else {
            EXPECT_EQ(outcome.csvBytes, 0u);
        }
        if (i == 0) {
            first = outcome;
        } else {
            EXPECT_TRUE(sameOutcome(outcome, first))
                << outcome.csvBytes << " output bytes against " << first.csvBytes;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, RegressionInput, ::testing::ValuesIn(expectations), [](const auto& test) {
    std::string name = test.param.file;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
});

}  // namespace
}  // namespace catadump::test
