// The entries a list keeps: the filter's texts of time, its range and kinds through every format (with
// and without the format thread), and the timeline's events, each kept by its own date.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catagen/encode.h"
#include "driver/convert.h"
#include "formats/entry_filter.h"
#include "formats/format_rows.h"
#include "model/paths.h"
#include "support/conversion_harness.h"

namespace catadump::test {
namespace {

constexpr uint64_t march4 = 132592896000000000;  // 2021-03-04T00:00:00Z
constexpr uint64_t march5 = 132593760000000000;  // 2021-03-05T00:00:00Z

TEST(ParseFilterTime, ReadsIsoDatesAndTimesAndRefusesTheRest) {
    struct Case {
        const char* text;
        uint64_t fileTime;
    };
    const Case valid[] = {
        {"2021-03-04", march4},
        {"2021-03-04T05:06", 132593079600000000},
        {"2021-03-04 05:06:07", 132593079670000000},
        {"2021-03-04T05:06:07.1Z", 132593079671000000},
        {"2021-03-04T05:06:07.1234567Z", 132593079671234567},
        {"2021-03-04T07:06:07.1234567+02:00", 132593079671234567},
        {"2021-03-03T23:36:07.1234567-0530", 132593079671234567},
        {"2021-03-04T07:06:07.1234567+02", 132593079671234567},
        {"2000-02-29", 125962560000000000},
        {"1970-01-01T00:00Z", 116444736000000000},
        {"1601-01-01", 0},
        {"1601-01-01T00:00:00.0000001", 1},
        {"1601-01-01T01:00+01:00", 0},
        {"9999-12-31T23:59:59.9999999Z", lastIsoFileTime},
        {"9999-12-31T23:59:59.9999999-01:00", lastIsoFileTime + 36000000000},  // past 9999 in UTC
    };
    for (const Case& c : valid) {
        uint64_t fileTime = 12345;
        EXPECT_TRUE(parseFilterTime(c.text, fileTime)) << c.text;
        EXPECT_EQ(fileTime, c.fileTime) << c.text;
    }
    const char* invalid[] = {
        "",
        "2021-3-04",
        "20210304",
        "2021-02-29",
        "1900-02-29",
        "2021-04-31",
        "2021-13-01",
        "2021-00-10",
        "2021-03-00",
        "1600-12-31",
        "10000-01-01",
        "2021-03-04Z",
        "2021-03-04T",
        "2021-03-04T05",
        "2021-03-04X05:06",
        "2021-03-04T24:00",
        "2021-03-04T05:60",
        "2021-03-04T05:06:60",
        "2021-03-04T05:06:07.",
        "2021-03-04T05:06:07.12345678",
        "2021-03-04T05:06+2:00",
        "2021-03-04T05:06+02:60",
        "2021-03-04T05:06+02:",
        "2021-03-04T05:06+02:00:00",
        "2021-03-04T05:06Zx",
        "2021-03-04 ",
        "1601-01-01T00:30+01:00",  // before 1601 in UTC
    };
    for (const char* text : invalid) {
        uint64_t fileTime = 0;
        EXPECT_FALSE(parseFilterTime(text, fileTime)) << text;
    }
}

// A tree whose dates sit on the edges of 2021-03-04 (the range of the cases below): the folder C:\d and
// its files, named for their dates.
std::string edgeDatabase(catagen::Version version) {
    catagen::Tree tree;
    tree.filesystems = {catagen::Filesystem{}};
    tree.folders = {{"C:", catagen::kNoFolder, 0, {}}, {"d", 0, 0, {.created = march4 + 1}}};
    tree.files = {
        {"at-since", 1, 0, {.created = march4}},
        {"before-since", 1, 0, {.modified = march4 - 1}},
        {"at-until", 1, 0, {.accessed = march5}},
        {"last-tick", 1, 0, {.accessed = march5 - 1}},
        {"undated", 1, 0, {}},
        {"mixed", 1, 0, {.created = march4 - 10, .modified = march5 + 10, .accessed = march4 + 5}},
        {"far-future", 1, 0, {.created = march4 + 2, .modified = lastIsoFileTime + 1}},
        {"first-tick", 1, 0, {.created = 1}},
    };
    return catagen::encodeDatabase(tree, version);
}

EntryFilter filterOf(const char* since, const char* until, TypeFilter type) {
    EntryFilter filter;
    filter.type = type;
    filter.dated = since != nullptr || until != nullptr;
    if (since != nullptr) {
        EXPECT_TRUE(parseFilterTime(since, filter.since)) << since;
    }
    if (until != nullptr) {
        EXPECT_TRUE(parseFilterTime(until, filter.until)) << until;
    }
    return filter;
}

// A format of the test's own: each entry's path a line.
void writeNothing(RowOutput&, ColumnSet) {}
void writePath(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    entryPath(table, entry, output.path);
    writeString(*output.writer, output.path + "\n");
}
const OutputFormat pathsFormat = {"paths", writeNothing, writePath};

std::string converted(const std::string& database, const OutputFormat& format, const EntryFilter& filter,
                      bool formatThread, uint64_t* datesOutOfRange = nullptr) {
    ConversionOptions options;
    options.format = &format;
    options.filter = filter;
    options.formatThread = formatThread;
    options.writing = CsvWriting::overlapped;
    InMemoryConversion run = convertInMemory(database, options);
    EXPECT_FALSE(run.flags.readError || run.flags.corrupt) << run.console;
    if (datesOutOfRange != nullptr) *datesOutOfRange = run.datesOutOfRange;
    return run.csv;
}

TEST(EntryFilter, KeepsTheKindAndTheDatesAskedForInEveryFormat) {
    const std::string all =
        "C:\nC:\\d\nC:\\d\\at-since\nC:\\d\\before-since\nC:\\d\\at-until\nC:\\d\\last-tick\n"
        "C:\\d\\undated\nC:\\d\\mixed\nC:\\d\\far-future\nC:\\d\\first-tick\n";
    struct Case {
        const char* since;
        const char* until;
        TypeFilter type;
        std::string kept;          // in 1.7.20
        std::string keptDateless;  // in 1.6.6, which has no dates
    };
    const Case cases[] = {
        // A date equal to since is kept, one equal to until is not; the bounds with offsets.
        {"2021-03-04T01:00+01:00", "2021-03-04T19:00-05:00", TypeFilter::any,
         "C:\\d\nC:\\d\\at-since\nC:\\d\\last-tick\nC:\\d\\mixed\nC:\\d\\far-future\n", ""},
        {"2021-03-04", "2021-03-05", TypeFilter::files,
         "C:\\d\\at-since\nC:\\d\\last-tick\nC:\\d\\mixed\nC:\\d\\far-future\n", ""},
        {"2021-03-04", "2021-03-05", TypeFilter::folders, "C:\\d\n", ""},
        {"2021-03-04", nullptr, TypeFilter::any,
         "C:\\d\nC:\\d\\at-since\nC:\\d\\at-until\nC:\\d\\last-tick\nC:\\d\\mixed\nC:\\d\\far-future\n", ""},
        {nullptr, "2021-03-04", TypeFilter::any, "C:\\d\\before-since\nC:\\d\\mixed\nC:\\d\\first-tick\n",
         ""},
        {nullptr, nullptr, TypeFilter::folders, "C:\nC:\\d\n", "C:\nC:\\d\n"},
        {nullptr, nullptr, TypeFilter::any, all, all},
    };
    const std::string late = edgeDatabase(catagen::Version::v1_7_20);
    const std::string early = edgeDatabase(catagen::Version::v1_6_6);
    for (const Case& c : cases) {
        EntryFilter filter = filterOf(c.since, c.until, c.type);
        for (bool formatThread : {false, true}) {
            SCOPED_TRACE(std::string(c.since ? c.since : "-") + " " + (c.until ? c.until : "-") +
                         (formatThread ? " format thread" : ""));
            EXPECT_EQ(converted(late, pathsFormat, filter, formatThread), c.kept);
            EXPECT_EQ(converted(early, pathsFormat, filter, formatThread), c.keptDateless);
        }
        // The table's formats list the same entries.
        std::string kept = converted(late, *findOutputFormat("csv"), filter, true);
        EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n') - 1,
                  std::count(c.kept.begin(), c.kept.end(), '\n'));
    }
}

// The timeline's events as "path description" lines, in order.
std::vector<std::string> timelineEvents(const std::string& list) {
    std::vector<std::string> events;
    for (const std::string& line : lines(list)) {
        auto field = [&](const std::string& key) {
            size_t at = line.find("\"" + key + "\":\"") + key.size() + 4;
            return line.substr(at, line.find('"', at) - at);
        };
        events.push_back(field("path") + " " + field("timestamp_desc"));
    }
    return events;
}

TEST(TimelineFormat, AnEventForEachDateInRange) {
    struct Case {
        const char* since;
        const char* until;
        std::vector<std::string> events;
        uint64_t outOfRange;
    };
    const Case cases[] = {
        {nullptr,
         nullptr,
         {"C:\\\\d Creation Time", "C:\\\\d\\\\at-since Creation Time",
          "C:\\\\d\\\\before-since Content Modification Time", "C:\\\\d\\\\at-until Last Access Time",
          "C:\\\\d\\\\last-tick Last Access Time", "C:\\\\d\\\\mixed Creation Time",
          "C:\\\\d\\\\mixed Content Modification Time", "C:\\\\d\\\\mixed Last Access Time",
          "C:\\\\d\\\\far-future Creation Time", "C:\\\\d\\\\first-tick Creation Time"},
         1},
        {"2021-03-04",
         "2021-03-05",
         {"C:\\\\d Creation Time", "C:\\\\d\\\\at-since Creation Time",
          "C:\\\\d\\\\last-tick Last Access Time", "C:\\\\d\\\\mixed Last Access Time",
          "C:\\\\d\\\\far-future Creation Time"},
         0},
    };
    const std::string late = edgeDatabase(catagen::Version::v1_7_20);
    for (const Case& c : cases) {
        for (bool formatThread : {false, true}) {
            uint64_t outOfRange = 99;
            std::string list =
                converted(late, *findOutputFormat("timeline"), filterOf(c.since, c.until, TypeFilter::any),
                          formatThread, &outOfRange);
            EXPECT_EQ(timelineEvents(list), c.events) << c.since;
            EXPECT_EQ(outOfRange, c.outOfRange) << c.since;
        }
    }
    EXPECT_EQ(converted(edgeDatabase(catagen::Version::v1_6_6), *findOutputFormat("timeline"), {}, false),
              "");
}

}  // namespace
}  // namespace catadump::test
