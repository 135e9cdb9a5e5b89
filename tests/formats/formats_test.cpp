// Each format's text for single entries: the edge cases of its escaping and of its dates, one table a
// format. (The whole lists of every version are read back by the real clients in clients_test.cpp.)
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "formats/format_rows.h"
#include "formats/output_format.h"
#include "model/folder_table.h"
#include "support/conversion_harness.h"

namespace catadump::test {
namespace {

struct Case {
    std::string name;  // a file at the top: its path is its name
    RowValues values;
    std::string text;
};

// The text the format writes for a file named `name` with those values (or none), dates as asked; with a
// source, after the header of a list of many databases; with `recover`, its header and the row with its
// status.
std::string entryText(const char* format, const std::string& name, const RowValues* values,
                      DateStyle dates = DateStyle::iso, const char* source = nullptr,
                      EntryStatus status = EntryStatus::intact, bool recover = false) {
    CapturedRun captured;
    MemorySink sink;
    CsvWriter writer;
    openCsvWriter(writer, captured.run, memorySink(sink));
    RowOutput output;
    output.writer = &writer;
    output.recover = recover;
    bindFormat(output, *findOutputFormat(format));
    output.dates = dates;
    output.withSource = source != nullptr;
    if (source != nullptr) output.source = source;
    if (source != nullptr || recover) {
        sendHeader(output, 0, values != nullptr ? ColumnSet::withValues : ColumnSet::nameAndAttributes);
    }
    FolderTable table;
    sendEntry(output, table, {EntryKind::file, noFolder, name, values, status});
    flush(writer);
    return sink.bytes;
}

constexpr uint64_t y2021 = 132593079671234567;  // 2021-03-04T05:06:07.1234567Z

TEST(CsvFormat, QuotesAndDates) {
    const Case cases[] = {
        {"a\"b\"", {.size = 5, .attributes = 32}, "\"a\"\"b\"\"\",file,5,,,,32\r\n"},
        {"x,y\r\nz", {.dateCreated = y2021}, "\"x,y\r\nz\",file,0,2021-03-04T05:06:07.1234567Z,,,0\r\n"},
        {"first",
         {.dateCreated = 1, .dateModified = 116444736000000000},
         "\"first\",file,0,1601-01-01T00:00:00.0000001Z,1970-01-01T00:00:00.0000000Z,,0\r\n"},
        {"leap",
         {.dateAccessed = 125962560000000000},
         "\"leap\",file,0,,,2000-02-29T00:00:00.0000000Z,0\r\n"},
        {"last",
         {.dateCreated = 2650467743999999999, .dateModified = 2650467744000000000, .dateAccessed = ~0ull},
         "\"last\",file,0,9999-12-31T23:59:59.9999999Z,2650467744000000000,18446744073709551615,0\r\n"},
        // Quotes as the last byte of a whole block of sixteen and among the last bytes, fewer than a block.
        {std::string(15, 'a') + "\"" + std::string(16, 'b') + "\"c",
         {},
         "\"" + std::string(15, 'a') + "\"\"" + std::string(16, 'b') + "\"\"c\",file,0,,,,0\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(entryText("csv", c.name, &c.values), c.text) << c.name;
    RowValues dated{.dateCreated = y2021};
    EXPECT_EQ(entryText("csv", "n", &dated, DateStyle::filetime),
              "\"n\",file,0,132593079671234567,0,0,0\r\n");
    EXPECT_EQ(entryText("csv", "old", nullptr), "\"old\",file,0\r\n");
}

// Every day from 1601-01-01 to 9999-12-31 against a calendar walked one day at a time, at a time of day
// that moves through the day's seconds and fractions.
TEST(IsoDates, EveryDayOfTheRange) {
    constexpr uint64_t ticksPerDay = 864000000000;
    const unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned year = 1601, month = 1, day = 1;
    char text[29] = {};
    char expected[64];
    for (uint64_t days = 0;; ++days) {
        uint64_t ofDay = (days * 7919 * 10000001) % ticksPerDay;
        uint64_t seconds = ofDay / 10000000;
        std::snprintf(expected, sizeof expected, "%04u-%02u-%02uT%02u:%02u:%02u.%07uZ", year, month, day,
                      static_cast<unsigned>(seconds / 3600), static_cast<unsigned>(seconds / 60 % 60),
                      static_cast<unsigned>(seconds % 60), static_cast<unsigned>(ofDay % 10000000));
        writeIsoDate(text, days * ticksPerDay + ofDay);
        ASSERT_STREQ(text, expected) << "day " << days;
        if (year == 9999 && month == 12 && day == 31) break;
        bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        if (++day > lengths[month - 1] + (month == 2 && leap ? 1 : 0)) {
            day = 1;
            if (++month > 12) month = 1, ++year;
        }
    }
    writeIsoDate(text, lastIsoFileTime);
    EXPECT_STREQ(text, "9999-12-31T23:59:59.9999999Z");
}

TEST(JsonlFormat, EscapesAndInvalidUtf8) {
    const std::string tail = "\",\"type\":\"file\",\"attributes\":0}\n";
    const Case cases[] = {
        {"q\"b\\s/", {}, "{\"path\":\"q\\\"b\\\\s/" + tail},
        {"\n\r\t\x01\x1f\x7f", {}, "{\"path\":\"\\n\\r\\t\\u0001\\u001f\x7f" + tail},
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", {}, "{\"path\":\"caf\xc3\xa9 \xf0\x9f\x98\x80" + tail},
        // A lone byte, an overlong form, a surrogate, a cut sequence, a code point past U+10FFFF.
        {"a\xff", {}, "{\"path\":\"a\xef\xbf\xbd\",\"path_hex\":\"61ff" + tail},
        {"\xc0\x80", {}, "{\"path\":\"\xef\xbf\xbd\xef\xbf\xbd\",\"path_hex\":\"c080" + tail},
        {"\xed\xa0\x80",
         {},
         "{\"path\":\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\"path_hex\":\"eda080" + tail},
        {"\xe2\x82", {}, "{\"path\":\"\xef\xbf\xbd\xef\xbf\xbd\",\"path_hex\":\"e282" + tail},
        {"\xf4\x90\x80\x80",
         {},
         "{\"path\":\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\"path_hex\":\"f4908080" + tail},
        // A sequence across the end of a block of sixteen; a quote among the last bytes.
        {std::string(15, 'a') + "\xc3\xa9" + std::string(15, 'b') + "\"",
         {},
         "{\"path\":\"" + std::string(15, 'a') + "\xc3\xa9" + std::string(15, 'b') + "\\\"" + tail},
    };
    for (const Case& c : cases) EXPECT_EQ(entryText("jsonl", c.name, nullptr), c.text) << c.name;
    RowValues values{.size = 9, .dateModified = y2021, .attributes = 1};
    EXPECT_EQ(entryText("jsonl", "v", &values),
              "{\"path\":\"v\",\"type\":\"file\",\"size\":9,\"created\":null,"
              "\"modified\":\"2021-03-04T05:06:07.1234567Z\",\"accessed\":null,\"attributes\":1}\n");
}

TEST(BodyfileFormat, EscapesAndUnixSeconds) {
    RowValues values{.size = 3,
                     .dateCreated = y2021,
                     .dateModified = 116444736000000000 - 1,
                     .dateAccessed = 116444736000000000 + 25000000};
    EXPECT_EQ(entryText("bodyfile", "a|b%c\r\nd\"", &values),
              "0|a%7Cb%25c%0D%0Ad\"|0|r/rrwxrwxrwx|0|0|3|2|0|0|1614834367\n");
    EXPECT_EQ(entryText("bodyfile", "old", nullptr), "0|old|0|r/rrwxrwxrwx|0|0|0|0|0|0|0\n");
    // Escapes as the last byte of a whole block of sixteen and among the last bytes, fewer than a block.
    EXPECT_EQ(entryText("bodyfile", std::string(15, 'a') + "|" + std::string(16, 'b') + "\n%", nullptr),
              "0|" + std::string(15, 'a') + "%7C" + std::string(16, 'b') +
                  "%0A%25|0|r/rrwxrwxrwx|0|0|0|0|0|0|0\n");
}

// Rows led by their source: in its own first column, key or part of the name, escaped as paths are, and
// no header of its own.
TEST(SourceOfRows, EscapedAsPathsAre) {
    struct SourceCase {
        const char* format;
        const char* source;
        bool withValues;
        std::string text;
    };
    const SourceCase cases[] = {
        {"csv", "a\"b", false, "\"a\"\"b\",\"n\",file,,,,,0\r\n"},
        {"csv", "s", true, "\"s\",\"n\",file,9,,,,0\r\n"},
        {"jsonl", "x\xff\"", false,
         "{\"source\":\"x\xef\xbf\xbd\\\"\",\"source_hex\":\"78ff22\",\"path\":\"n\",\"type\":\"file\","
         "\"attributes\":0}\n"},
        {"bodyfile", "d:|%", false, "0|d:%7C%25:n|0|r/rrwxrwxrwx|0|0|0|0|0|0|0\n"},
    };
    RowValues values{.size = 9};
    for (const SourceCase& c : cases) {
        EXPECT_EQ(entryText(c.format, "n", c.withValues ? &values : nullptr, DateStyle::iso, c.source),
                  c.text)
            << c.format << " " << c.source;
    }
}

// An event a date: microseconds truncated toward the past, before 1970 too; no event for a date past
// 9999; the path as jsonl has it.
TEST(TimelineFormat, EventLines) {
    RowValues values{.size = 9,
                     .dateCreated = 1,
                     .dateModified = y2021,
                     .dateAccessed = lastIsoFileTime + 1,
                     .attributes = 32};
    const std::string message = "{\"message\":\"a\xef\xbf\xbd (file, 9 bytes)\",";
    const std::string entry = "\"path\":\"a\xef\xbf\xbd\",\"path_hex\":\"61ff\",\"type\":\"file\",\"size\":9,"
                              "\"attributes\":32,\"filetime\":";
    EXPECT_EQ(entryText("timeline", "a\xff", &values),
              message +
                  "\"datetime\":\"1601-01-01T00:00:00.000000+00:00\",\"timestamp\":-11644473600000000," +
                  "\"timestamp_desc\":\"Creation Time\"," + entry + "1}\n" + message +
                  "\"datetime\":\"2021-03-04T05:06:07.123456+00:00\",\"timestamp\":1614834367123456," +
                  "\"timestamp_desc\":\"Content Modification Time\"," + entry + "132593079671234567}\n");
    EXPECT_EQ(entryText("timeline", "old", nullptr), "");
}

// A run that recovers gives each row its status: csv's last column (named in its own header), the last key of
// jsonl and of every timeline event, a note after a body file's name that is not intact.
TEST(RowStatus, EachFormatSaysIt) {
    std::string timeline;
    for (std::string which : {"Creation Time", "Content Modification Time"}) {
        timeline +=
            "{\"message\":\"n (file, 9 bytes)\",\"datetime\":\"2021-03-04T05:06:07.123456+00:00\","
            "\"timestamp\":1614834367123456,\"timestamp_desc\":\"" +
            which +
            "\",\"path\":\"n\",\"type\":\"file\",\"size\":9,\"attributes\":0,\"filetime\":132593079671234567,"
            "\"status\":\"partial\"}\n";
    }
    struct StatusCase {
        const char* format;
        EntryStatus status;
        const char* source;
        std::string text;
    };
    const StatusCase cases[] = {
        {"csv", EntryStatus::partial, nullptr, "Path,Type,Attributes,Status\r\n\"n\",file,0,partial\r\n"},
        {"csv", EntryStatus::recovered, "s", "\"s\",\"n\",file,,,,,0,recovered\r\n"},
        {"jsonl", EntryStatus::recovered, nullptr,
         "{\"path\":\"n\",\"type\":\"file\",\"attributes\":0,\"status\":\"recovered\"}\n"},
        {"timeline", EntryStatus::partial, nullptr, timeline},
        {"bodyfile", EntryStatus::partial, "s", "0|s:n (partial)|0|r/rrwxrwxrwx|0|0|0|0|0|0|0\n"},
    };
    RowValues values{.size = 9, .dateCreated = y2021, .dateModified = y2021};
    for (const StatusCase& c : cases) {
        bool dated = std::string_view(c.format) == "timeline";
        EXPECT_EQ(
            entryText(c.format, "n", dated ? &values : nullptr, DateStyle::iso, c.source, c.status, true),
            c.text)
            << c.format << " " << statusText(c.status);
    }
}

}  // namespace
}  // namespace catadump::test
