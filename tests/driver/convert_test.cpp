// The conversion's one entry point. A fatal condition met midway (here memory running out while the files
// are read) ends the conversion with that condition as its result: the output then holds exactly what the
// plain 64 KiB writer had written out by then, whichever way it writes, and the console has no report.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "driver/convert.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

// A database source that runs out of memory once `failAt` bytes have been read, noting how much of the
// output had reached the sink by then (given only for the plain writer: the overlapped one's thread may be
// writing to it at that moment).
struct ExhaustingInput {
    MemoryInput memory;
    size_t failAt = 0;
    const MemorySink* sink = nullptr;
    size_t outputAtFatal = 0;
};

int64_t readUntilExhausted(void* context, void* destination, size_t n) {
    auto& input = *static_cast<ExhaustingInput*>(context);
    if (input.memory.position >= input.failAt) {
        if (input.sink != nullptr) input.outputAtFatal = input.sink->bytes.size();
        fatal("Out of Memory\n");
    }
    return memorySource(input.memory).read(&input.memory, destination, n);
}

struct Ended {
    ConversionResult result;
    std::string console;
    std::string csv;
    size_t outputAtFatal = 0;
};

Ended convertUntil(const std::string& database, size_t failAt, CsvWriting writing,
                   bool formatThread = false) {
    MemorySink sink;
    const MemorySink* watched = writing == CsvWriting::plain && !formatThread ? &sink : nullptr;
    ExhaustingInput input{
        {reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0}, failAt, watched};
    Ended ended;
    ConversionOptions options;
    options.writing = writing;
    options.formatThread = formatThread;
    options.readAhead = 4096;
    ByteSource source{&input, readUntilExhausted, [](void*) { return 0; }};
    ended.result = convert(source, memorySink(sink), memoryConsole(ended.console), options);
    ended.csv = sink.bytes;
    ended.outputAtFatal = input.outputAtFatal;
    return ended;
}

TEST(Convert, AFatalConditionMidwayLeavesWhatThePlainWriterHadWrittenOut) {
    std::string database = syntheticDatabase(200, 6000);
    Ended whole = convertUntil(database, database.size() + 1, CsvWriting::plain);
    ASSERT_EQ(whole.result.fatalLine, nullptr);
    ASSERT_GT(whole.csv.size(), size_t{4} * csvBufferSize);

    for (size_t failAt : {size_t{0}, database.size() / 3, database.size() * 2 / 3}) {
        Ended plain = convertUntil(database, failAt, CsvWriting::plain);
        Ended overlapped = convertUntil(database, failAt, CsvWriting::overlapped);
        Ended formatThread = convertUntil(database, failAt, CsvWriting::overlapped, true);
        for (const Ended* ended : {&plain, &overlapped, &formatThread}) {
            EXPECT_STREQ(ended->result.fatalLine, "Out of Memory\n") << failAt;
            EXPECT_EQ(ended->csv, whole.csv.substr(0, ended->csv.size())) << failAt;
            EXPECT_EQ(ended->console.find("Conversion complete!"), std::string::npos) << ended->console;
        }
        EXPECT_EQ(plain.csv.size(), plain.outputAtFatal) << failAt;  // nothing written after the fatal read
        for (const Ended* ended : {&overlapped, &formatThread}) {
            EXPECT_EQ(plain.csv.size(), ended->csv.size()) << failAt;
            EXPECT_EQ(plain.console, ended->console) << failAt;
        }
    }
}

int startCalls = 0;
int refusedCall = -1;
bool refusingStarter(std::thread& thread, void (*body)(void*), void* context) {
    int call = startCalls++;
    return refusedCall >= 0 && call != refusedCall && startSystemThread(thread, body, context);
}

// Threads that cannot be started (a process or thread limit): the bzip2 decoder works with the workers it
// got, or with the single-threaded filter, and the overlapped writer writes on the converting thread. The
// output and the console are those of a run with every thread, whichever threads were refused; so does
// the format, on the converting thread when its own cannot start.
TEST(Convert, ThreadsThatCannotStartChangeNoByteOfTheResult) {
    std::string database = syntheticDatabase(3000, 60000);
    std::string packed = bzip2(database, 1);
    packed[3] = '9';
    // The writer's thread starts first, then the format's, then the decoder's workers, then its scanner.
    struct Refusal {
        const char* name;
        int call;  // the start refused, counted from 0; -1 refuses every start
    };
    const Refusal refusals[] = {{"every thread", -1},
                                {"the writer's", 0},
                                {"the format's", 1},
                                {"the second worker", 3},
                                {"the scanner", 5}};
    for (const std::string& stored : {database, packed}) {
        auto run = [&](ThreadStarter starter) {
            startCalls = 0;
            MemorySink sink;
            std::string console;
            ConversionOptions options;
            options.writing = CsvWriting::overlapped;
            options.decoderThreads = 3;
            options.formatThread = true;
            options.startThread = starter;
            CountingInput input(stored);
            ConversionResult result =
                convert(input.source(), memorySink(sink), memoryConsole(console), options);
            EXPECT_EQ(result.fatalLine, nullptr);
            EXPECT_FALSE(result.flags.readError || result.flags.writeError || result.flags.corrupt);
            return console + sink.bytes;
        };
        std::string everyThread = run(startSystemThread);
        for (const Refusal& refusal : refusals) {
            refusedCall = refusal.call;
            EXPECT_TRUE(run(refusingStarter) == everyThread) << refusal.name;
        }
    }
}

}  // namespace
}  // namespace catadump::test
