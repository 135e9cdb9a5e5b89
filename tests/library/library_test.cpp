// The C API inside the test program, where the sanitizer builds watch it (the Python module's table test,
// tests/python, compares the list, the C API and the module outside them): every version, raw and
// bzip2-wrapped, intact and damaged, read from a path, a descriptor and callbacks, and several readers at
// once on their own threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "catadump.h"
#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

struct Read {
    std::string rows;  // each entry as the qlx list writes it
    std::string header;
    uint32_t version = 0;
    int end = 0;
    bool readError = false;
    bool corrupt = false;
};

Read readAll(catadump_reader* reader) {
    Read read;
    catadump_entry entry;
    while ((read.end = catadump_next(reader, &entry)) == 1) {
        read.rows += '"';
        read.rows.append(entry.path, entry.path_length);
        read.rows += '"';
        EXPECT_EQ(entry.path[entry.path_length], '\0');
        std::string name(entry.name, entry.name_length);
        EXPECT_TRUE(std::string(entry.path, entry.path_length).ends_with(name));
        if (entry.has_values) {
            read.rows += printed(",%llu,%llu,%llu,%llu,%u\r\n", static_cast<unsigned long long>(entry.size),
                                 static_cast<unsigned long long>(entry.created),
                                 static_cast<unsigned long long>(entry.modified),
                                 static_cast<unsigned long long>(entry.accessed), entry.attributes);
        } else {
            read.rows += printed(",%u\r\n", entry.attributes);
        }
    }
    read.header = catadump_header_line(reader);
    read.version = catadump_version(reader);
    read.readError = catadump_read_error(reader) != 0;
    read.corrupt = catadump_corrupt(reader) != 0;
    catadump_close(reader);
    return read;
}

long long readMemory(void* context, void* buffer, size_t size) {
    auto& input = *static_cast<MemoryInput*>(context);
    size_t count = std::min(size, input.size - input.position);
    std::memcpy(buffer, input.data + input.position, count);
    input.position += count;
    return static_cast<long long>(count);
}

TEST(Library, GivesTheListsEntriesFromEveryKindOfSource) {
    catagen::SyntheticParams params;
    params.folders = 300;
    params.files = 6000;
    catagen::Tree tree = catagen::makeSyntheticTree(params);
    TempDir dir;
    for (Version version : allVersions) {
        std::string raw = catagen::encodeDatabase(tree, version);
        for (const std::string& database : {raw, bzip2(raw), cut(raw, raw.size() * 2 / 3)}) {
            SCOPED_TRACE(versionName(version) + ", " + std::to_string(database.size()) + " bytes");
            InMemoryConversion list = convertInMemory(database);
            std::string path = dir.write("Quillseek.db", database);
            catadump_reader* reader = nullptr;
            ASSERT_EQ(catadump_open_path(path.c_str(), nullptr, &reader), 0);
            Read fromPath = readAll(reader);
            EXPECT_EQ(fromPath.header + "\r\n" + fromPath.rows, list.csv);
            EXPECT_EQ(fromPath.end, 0);
            EXPECT_EQ(fromPath.readError, list.flags.readError);
            EXPECT_EQ(fromPath.corrupt, list.flags.corrupt);
            EXPECT_EQ(fromPath.version >> 16, 0x0106u + (isQwtb(version) ? 0 : 1));

            int fd = ::open(path.c_str(), O_RDONLY);
            catadump_options options{1, nullptr, nullptr};
            ASSERT_EQ(catadump_open_fd(fd, &options, &reader), 0);
            EXPECT_EQ(readAll(reader).rows, fromPath.rows);
            ::close(fd);

            MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
            ASSERT_EQ(catadump_open_callbacks(readMemory, &memory, nullptr, &reader), 0);
            EXPECT_EQ(readAll(reader).rows, fromPath.rows);
        }
    }
    catadump_reader* reader = nullptr;
    EXPECT_EQ(catadump_open_path(dir.pathOf("absent.db").c_str(), nullptr, &reader), -1);
    EXPECT_EQ(reader, nullptr);
}

// Readers share nothing: four at once on threads of their own, and readers closed before their end.
TEST(Library, ReadersAtOnceAndReadersClosedEarly) {
    catagen::SyntheticParams params;
    params.folders = 2000;
    params.files = 60000;
    std::string database = bzip2(catagen::encodeDatabase(catagen::makeSyntheticTree(params), catagen::Version::v1_7_20));
    std::string expected = convertInMemory(database).csv;
    std::vector<std::thread> threads;
    std::vector<std::string> lists(4);
    for (size_t i = 0; i < lists.size(); ++i) {
        threads.emplace_back([&, i] {
            MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
            catadump_reader* reader = nullptr;
            if (catadump_open_callbacks(readMemory, &memory, nullptr, &reader) != 0) return;
            Read read = readAll(reader);
            lists[i] = read.header + "\r\n" + read.rows;
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::string& list : lists) EXPECT_TRUE(list == expected);
    for (int taken : {0, 1, 5000}) {
        MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
        catadump_reader* reader = nullptr;
        ASSERT_EQ(catadump_open_callbacks(readMemory, &memory, nullptr, &reader), 0);
        catadump_entry entry;
        for (int i = 0; i < taken; ++i) ASSERT_EQ(catadump_next(reader, &entry), 1);
        catadump_close(reader);  // the conversion stops; nothing waits or leaks
    }
}

// A fatal condition is a status with its line.
TEST(Library, AFatalConditionIsAStatusWithItsLine) {
    catagen::SyntheticParams params;
    MarkedDatabase db = encodeMarked(catagen::makeSyntheticTree(params), Version::v1_7_8);
    std::string bytes = db.bytes;
    bytes.replace(db.marks.filesystems[0] + 1, 1, "\xff\xff\xff\xff\xff");  // a path length of all ones
    MemoryInput memory{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0};
    catadump_reader* reader = nullptr;
    ASSERT_EQ(catadump_open_callbacks(readMemory, &memory, nullptr, &reader), 0);
    catadump_entry entry;
    EXPECT_EQ(catadump_next(reader, &entry), -1);
    EXPECT_STREQ(catadump_fatal_line(reader), "bad string size -1\n");
    size_t length = 0;
    std::string console = catadump_console(reader, &length);
    EXPECT_NE(console.find("filesystem count: "), std::string::npos) << console;  // the lines up to the condition
    EXPECT_EQ(console.find("Conversion complete!"), std::string::npos);
    EXPECT_EQ(length, std::string(catadump_console(reader, nullptr)).size());
    catadump_close(reader);
}

} // namespace
} // namespace catadump::test
