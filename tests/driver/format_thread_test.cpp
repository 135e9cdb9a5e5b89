// The format on a thread of its own gives the list, the console lines, the flags and the end of a run of
// everything on one thread, byte for byte: over many batches, through the bzip2 decoder, with records too
// long to queue, on damage, and when the output closes midway.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "catagen/encode.h"
#include "driver/convert.h"
#include "driver/format_thread.h"
#include "model/folder_table.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

using namespace std::chrono_literals;

// An output whose reader goes away once it holds `closeAfter` bytes. Like a file's, its closed state is
// read by the converting thread while the writer's thread sets it.
struct ClosingOutput {
    std::string bytes;
    size_t closeAfter = 0;
    std::atomic<bool> closed{false};
};

ByteSink closingSink(ClosingOutput& output) {
    auto write = [](void* context, const void* bytes, size_t n) {
        auto& out = *static_cast<ClosingOutput*>(context);
        if (out.closed || out.bytes.size() + n > out.closeAfter) {
            out.closed = true;
            return false;
        }
        out.bytes.append(static_cast<const char*>(bytes), n);
        return true;
    };
    auto closed = [](void* context) { return static_cast<ClosingOutput*>(context)->closed.load(); };
    return ByteSink{&output, write, nullptr, closed};
}

struct Finished {
    std::string console;
    std::string list;
    RunFlags flags;
    const char* fatalLine = nullptr;
    bool outputClosed = false;
    std::vector<uint64_t> progress;  // the database bytes of each progress report
};

Finished convertWith(const std::string& database, bool formatThread, const char* format, size_t closeAfter) {
    Finished run;
    ClosingOutput output{{}, closeAfter};
    ConversionOptions options;
    options.writing = CsvWriting::overlapped;
    options.formatThread = formatThread;
    options.readAhead = 4096;
    options.format = findOutputFormat(format);
    options.onProgress = [](void* context, uint64_t bytes, uint64_t) {
        static_cast<Finished*>(context)->progress.push_back(bytes);
    };
    options.progressContext = &run;
    CountingInput input(database);
    ConversionResult result =
        convert(input.source(), closingSink(output), memoryConsole(run.console), options);
    run.list = output.bytes;
    run.flags = result.flags;
    run.fatalLine = result.fatalLine;
    run.outputClosed = result.outputClosed;
    return run;
}

// A file name and a console line (the file system's path) longer than a queued record may be.
std::string withLongNames() {
    catagen::Tree tree;
    catagen::Filesystem filesystem;
    filesystem.path = std::string(70000, 'p');
    tree.filesystems = {filesystem};
    tree.folders = {{"C:", catagen::kNoFolder, 0, {}}, {"d", 0, 0, {}}};
    tree.files = {{std::string(70000, 'f'), 1, 0, {}}, {"after", 1, 0, {}}};
    return catagen::encodeDatabase(tree, catagen::Version::v1_7_20);
}

TEST(FormatThread, GivesWhatOneThreadGives) {
    const std::string many = syntheticDatabase(3000, 60000);
    struct Case {
        const char* name;
        std::string database;
        const char* format;
        size_t closeAfter;
    };
    const Case cases[] = {
        {"ManyBatches", many, "qlx", SIZE_MAX},
        {"ManyBatchesCsv", many, "csv", SIZE_MAX},
        {"Bzip2", bzip2(many, 1), "jsonl", SIZE_MAX},
        {"CutShort", cut(many, many.size() / 2), "qlx", SIZE_MAX},
        {"CutShortBzip2", cut(bzip2(many, 1), many.size() / 4), "bodyfile", SIZE_MAX},
        {"OutputClosesEarly", many, "qlx", 100000},
        {"OutputClosesLate", many, "csv", 3000000},
        {"NameAndConsoleLineTooLongToQueue", withLongNames(), "csv", SIZE_MAX},
        {"NotADatabase", std::string(100, 'x'), "qlx", SIZE_MAX},
    };
    for (const Case& c : cases) {
        Finished one = convertWith(c.database, false, c.format, c.closeAfter);
        Finished two = convertWith(c.database, true, c.format, c.closeAfter);
        EXPECT_EQ(two.list, one.list) << c.name;
        EXPECT_EQ(two.console, one.console) << c.name;
        EXPECT_EQ(two.flags.readError, one.flags.readError) << c.name;
        EXPECT_EQ(two.flags.writeError, one.flags.writeError) << c.name;
        EXPECT_EQ(two.flags.corrupt, one.flags.corrupt) << c.name;
        EXPECT_EQ(two.fatalLine, one.fatalLine) << c.name;
        EXPECT_EQ(two.outputClosed, one.outputClosed) << c.name;
        // Progress is reported from the format thread too, in order.
        EXPECT_EQ(two.progress.empty(), one.progress.empty()) << c.name;
        EXPECT_TRUE(std::is_sorted(two.progress.begin(), two.progress.end())) << c.name;
    }
    // The cases reach what they are named for.
    EXPECT_TRUE(convertWith(many, true, "qlx", 100000).outputClosed);
    Finished longNames = convertWith(withLongNames(), true, "csv", SIZE_MAX);
    EXPECT_NE(longNames.console.find(std::string(70000, 'p')), std::string::npos);
    EXPECT_NE(longNames.list.find(std::string(70000, 'f')), std::string::npos);
}

// A source that gives the signature and the version word, then waits (a slow pipe) until the console has
// shown the version line before it gives the rest: what was said is shown before the reader waits.
struct SlowSource {
    std::string database;
    size_t at = 0;
    std::atomic<bool> versionShown{false};
    bool shownBeforeWaiting = false;
};

TEST(FormatThread, ShowsTheConsoleLinesBeforeWaitingForInput) {
    SlowSource slow{syntheticDatabase(10, 10)};
    auto read = [](void* context, void* destination, size_t n) -> int64_t {
        auto& source = *static_cast<SlowSource*>(context);
        if (source.at == 8) {
            for (int i = 0; i < 500 && !source.versionShown; ++i) std::this_thread::sleep_for(10ms);
            source.shownBeforeWaiting = source.versionShown;
        }
        size_t given = std::min(n, source.at == 0 ? size_t{8} : source.database.size() - source.at);
        std::memcpy(destination, source.database.data() + source.at, given);
        source.at += given;
        return static_cast<int64_t>(given);
    };
    auto show = [](void* context, const char* text, size_t n) {
        if (std::string_view(text, n).starts_with("Version"))
            static_cast<SlowSource*>(context)->versionShown = true;
    };
    ConversionOptions options;
    options.formatThread = true;
    MemorySink sink;
    convert({&slow, read, [](void*) { return 0; }}, memorySink(sink), {&slow, show}, options);
    EXPECT_TRUE(slow.shownBeforeWaiting);
}

// Each entry reaches the format with its status.
TEST(FormatThread, EntriesKeepTheirStatus) {
    CapturedRun captured;
    MemorySink sink;
    CsvWriter writer;
    openCsvWriter(writer, captured.run, memorySink(sink));
    RowOutput output;
    output.writer = &writer;
    output.recover = true;
    bindFormat(output, *findOutputFormat("csv"));
    DatabaseStream stream;
    FormatThreadPointer thread = startFormatThread(captured.run, stream, output, {});
    ASSERT_TRUE(thread);
    FolderTable table;
    for (EntryStatus status : {EntryStatus::partial, EntryStatus::recovered, EntryStatus::intact}) {
        sendEntry(formatThreadSink(*thread), table, {EntryKind::file, noFolder, "n", nullptr, status});
    }
    finishFormatThread(*thread);
    thread.reset();
    flush(writer);
    EXPECT_EQ(sink.bytes, "\"n\",file,0,partial\r\n\"n\",file,0,recovered\r\n\"n\",file,0,intact\r\n");
}

}  // namespace
}  // namespace catadump::test
