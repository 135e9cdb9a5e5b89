// The C API inside the test program, where the sanitizer builds watch it (the Python module's table test,
// tests/python, compares the list, the C API and the module outside them): every version, raw and
// bzip2-wrapped, intact and damaged, read from a path, a descriptor and callbacks, and several readers at
// once on their own threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <set>
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
    uint64_t stated = 0;
    int end = 0;
    bool readError = false;
    bool corrupt = false;
};

void appendRow(Read& read, const catadump_entry& entry) {
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

// The report once the entries ended; the reader closed.
Read finishRead(Read read, catadump_reader* reader) {
    read.header = catadump_header_line(reader);
    read.version = catadump_version(reader);
    read.stated = catadump_stated_entries(reader);
    read.readError = catadump_read_error(reader) != 0;
    read.corrupt = catadump_corrupt(reader) != 0;
    catadump_close(reader);
    return read;
}

// With `slice`, each wait for the conversion lasts that many milliseconds at most, and is repeated.
Read readAll(catadump_reader* reader, int slice = -1) {
    Read read;
    catadump_entry entry;
    auto next = [&] {
        if (slice < 0) return catadump_next(reader, &entry);
        int status;
        while ((status = catadump_next_timeout(reader, &entry, static_cast<unsigned>(slice))) ==
               CATADUMP_WAITING) {
        }
        return status;
    };
    while ((read.end = next()) == 1) appendRow(read, entry);
    return finishRead(std::move(read), reader);
}

// The same through catadump_each (a reader opened with CATADUMP_ON_CALLER), stopping after `stopAfter`
// entries unless that is 0; after it catadump_next gives the end.
struct Taking {
    Read read;
    size_t taken = 0;
    size_t stopAfter = 0;
};
int takeOne(void* context, const catadump_entry* entry) {
    auto& taking = *static_cast<Taking*>(context);
    appendRow(taking.read, *entry);
    return ++taking.taken == taking.stopAfter ? 1 : 0;
}
Read readOnCaller(catadump_reader* reader, size_t stopAfter = 0) {
    Taking taking;
    taking.stopAfter = stopAfter;
    taking.read.end = catadump_each(reader, takeOne, &taking);
    catadump_entry entry;
    int end = catadump_next(reader, &entry);
    EXPECT_EQ(end, taking.read.end == CATADUMP_STOPPED ? 0 : taking.read.end);
    return finishRead(std::move(taking.read), reader);
}

TEST(Library, GivesTheListsEntriesFromEveryKindOfSource) {
    catagen::SyntheticParams params;
    params.folders = 300;
    params.files = 6000;
    catagen::Tree tree = catagen::makeSyntheticTree(params);
    TempDir dir;
    for (Version version : allVersions) {
        std::string raw = catagen::encodeDatabase(tree, version);
        std::string whole = convertInMemory(raw).csv;
        uint64_t entries = static_cast<uint64_t>(std::count(whole.begin(), whole.end(), '\n')) - 1;
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
            EXPECT_EQ(fromPath.stated, entries);  // as the header says, the cut database's too

            ASSERT_EQ(catadump_open_path_with(path.c_str(), nullptr, CATADUMP_ON_CALLER, &reader), 0);
            Read onCaller = readOnCaller(reader);
            EXPECT_EQ(onCaller.rows, fromPath.rows);
            EXPECT_EQ(onCaller.header, fromPath.header);
            EXPECT_EQ(onCaller.end, 0);
            EXPECT_EQ(onCaller.stated, entries);
            EXPECT_EQ(onCaller.readError, list.flags.readError);
            EXPECT_EQ(onCaller.corrupt, list.flags.corrupt);

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
    std::string database = bzip2(syntheticDatabase(2000, 60000));
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
    EXPECT_NE(console.find("filesystem count: "), std::string::npos)
        << console;  // the lines up to the condition
    EXPECT_EQ(console.find("Conversion complete!"), std::string::npos);
    EXPECT_EQ(length, std::string(catadump_console(reader, nullptr)).size());
    catadump_close(reader);

    memory.position = 0;
    ASSERT_EQ(catadump_open_callbacks_with(readMemory, &memory, nullptr, CATADUMP_ON_CALLER, &reader), 0);
    Taking taking;
    EXPECT_EQ(catadump_each(reader, takeOne, &taking), -1);
    EXPECT_EQ(taking.taken, 0u);  // no entry comes before the condition
    EXPECT_STREQ(catadump_fatal_line(reader), "bad string size -1\n");
    catadump_close(reader);
}

int noteStatus(void* context, const catadump_entry* entry) {
    static_cast<std::set<int>*>(context)->insert(entry->status);
    return 0;
}

// A reader opened with CATADUMP_RECOVER writes each entry's status (intact, in an intact database); any other
// leaves the field as the caller had it, for a program whose entry has none. catadump_each's entry is the
// library's own: intact without the flag.
TEST(Library, OnlyAReaderThatRecoversWritesTheStatus) {
    std::string database = syntheticDatabase(50, 500);
    for (unsigned flags : {0u, CATADUMP_RECOVER}) {
        SCOPED_TRACE(flags);
        MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
        catadump_reader* reader = nullptr;
        ASSERT_EQ(catadump_open_callbacks_with(readMemory, &memory, nullptr, flags, &reader), 0);
        std::set<int> next, each;
        catadump_entry entry;
        entry.status = -7;
        while (catadump_next(reader, &entry) == 1) next.insert(entry.status);
        catadump_close(reader);
        EXPECT_EQ(next, std::set<int>{flags != 0 ? CATADUMP_INTACT : -7});
        memory.position = 0;
        ASSERT_EQ(
            catadump_open_callbacks_with(readMemory, &memory, nullptr, flags | CATADUMP_ON_CALLER, &reader),
            0);
        EXPECT_EQ(catadump_each(reader, noteStatus, &each), 0);
        catadump_close(reader);
        EXPECT_EQ(each, std::set<int>{CATADUMP_INTACT});
    }
}

// A read callback over memory that closes the reader on its `closeAt`th call (0 never), a few KiB a call.
// The reader's thread may call it before the open has returned the reader, and before the caller waits in
// catadump_next: it waits for both, since a reader closed by its callback is freed as soon as its conversion
// ends unless a catadump_next is waiting for it (the caller may not use it again).
struct ClosingInput {
    MemoryInput memory;
    std::atomic<catadump_reader*> reader{nullptr};
    std::atomic<bool> nextCalled{false};
    int closeAt = 0;
    int calls = 0;
};

void closeOnce(ClosingInput& input) {
    while (input.reader.load() == nullptr || !input.nextCalled.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // catadump_next is waiting by then
    catadump_close(input.reader.load());
}

// The caller's side: hands the reader over, then waits in catadump_next, which the close from the
// callback ends with -1.
int nextAfterCallbackClose(ClosingInput& input, catadump_reader* reader) {
    input.reader = reader;
    input.nextCalled = true;
    catadump_entry entry;
    return catadump_next(reader, &entry);
}

long long readAndClose(void* context, void* buffer, size_t size) {
    auto& input = *static_cast<ClosingInput*>(context);
    if (++input.calls == input.closeAt) closeOnce(input);
    return readMemory(&input.memory, buffer, std::min<size_t>(size, 4096));
}

int closeFromEach(void* context, const catadump_entry*) {
    auto& input = *static_cast<ClosingInput*>(context);
    if (++input.calls == 3) catadump_close(input.reader.load());
    return 0;
}

void closeFromConsole(void* context, const char*, size_t) {
    auto& input = *static_cast<ClosingInput*>(context);
    if (++input.calls == 1) closeOnce(input);
}

// Writes the bytes to the pipe in pieces, a pause between them, then closes it.
void feedPipe(int fd, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 65536) {
        size_t n = std::min<size_t>(65536, bytes.size() - at);
        for (size_t put = 0; put < n;) {
            ssize_t wrote = ::write(fd, bytes.data() + at + put, n - put);
            if (wrote <= 0) break;
            put += static_cast<size_t>(wrote);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
}

// What a caller may do that the reader must survive: close it from its own callbacks, close it while its
// descriptor has nothing to give, ask for more threads than the program takes, hand it a descriptor in
// non-blocking mode or wait for it in slices.
TEST(Library, MisuseEndsSafely) {
    std::string database = syntheticDatabase(200, 5000);
    std::string expected = convertInMemory(database).csv;
    auto fromPipe = [&](bool nonBlocking, int slice) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        if (nonBlocking) ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        catadump_reader* reader = nullptr;
        EXPECT_EQ(catadump_open_fd(fds[0], nullptr, &reader), 0);
        if (slice >= 0) {  // nothing has come yet: the wait ends empty-handed, and nothing is lost by it
            catadump_entry entry;
            EXPECT_EQ(catadump_next_timeout(reader, &entry, static_cast<unsigned>(slice)), CATADUMP_WAITING);
        }
        std::thread writer(feedPipe, fds[1], std::cref(database));
        Read read = readAll(reader, slice);
        writer.join();
        ::close(fds[0]);
        EXPECT_EQ(read.header + "\r\n" + read.rows, expected);
        EXPECT_EQ(read.end, 0);
    };
    struct Case {
        const char* name;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"closed from the read callback while catadump_next waits",
         [&] {
             ClosingInput input{{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0}};
             input.closeAt = 3;
             catadump_reader* reader = nullptr;
             ASSERT_EQ(catadump_open_callbacks(readAndClose, &input, nullptr, &reader), 0);
             EXPECT_EQ(nextAfterCallbackClose(input, reader),
                       -1);              // the reader is gone: not to be used again
             EXPECT_EQ(input.calls, 3);  // no read after the close
         }},
        {"closed from the console callback",
         [&] {
             ClosingInput input{{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0}};
             catadump_options options{0, closeFromConsole, &input};
             catadump_reader* reader = nullptr;
             ASSERT_EQ(catadump_open_callbacks(readMemory, &input.memory, &options, &reader), 0);
             EXPECT_EQ(nextAfterCallbackClose(input, reader), -1);
             EXPECT_EQ(input.calls, 1);  // no line after the close
         }},
        {"closed while its pipe has nothing to give",
         [&] {
             int fds[2];
             ASSERT_EQ(::pipe(fds), 0);
             for (unsigned threads : {0u, 1u}) {
                 catadump_options options{threads, nullptr, nullptr};
                 catadump_reader* reader = nullptr;
                 ASSERT_EQ(catadump_open_fd(fds[0], &options, &reader), 0);
                 std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the read is waiting by now
                 auto start = std::chrono::steady_clock::now();
                 catadump_close(reader);
                 EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
             }
             ::close(fds[0]);
             ::close(fds[1]);
         }},
        {"more threads than the program takes",
         [&] {
             MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
             for (unsigned threads : {1025u, 0xFFFFFFFFu}) {
                 catadump_options options{threads, nullptr, nullptr};
                 catadump_reader* reader = nullptr;
                 errno = 0;
                 EXPECT_EQ(catadump_open_callbacks(readMemory, &memory, &options, &reader), -1);
                 EXPECT_EQ(errno, EINVAL);
                 EXPECT_EQ(catadump_open_fd(0, &options, &reader), -1);
                 EXPECT_EQ(catadump_open_path("/dev/null", &options, &reader), -1);
                 EXPECT_EQ(reader, nullptr);
             }
             catadump_options options{1024, nullptr, nullptr};
             catadump_reader* reader = nullptr;
             ASSERT_EQ(catadump_open_callbacks(readMemory, &memory, &options, &reader), 0);
             Read read = readAll(reader);
             EXPECT_EQ(read.header + "\r\n" + read.rows, expected);
         }},
        {"closed from catadump_each's function",
         [&] {
             ClosingInput input{{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0}};
             catadump_reader* reader = nullptr;
             ASSERT_EQ(catadump_open_callbacks_with(readMemory, &input.memory, nullptr, CATADUMP_ON_CALLER,
                                                    &reader),
                       0);
             input.reader = reader;
             errno = 0;
             EXPECT_EQ(catadump_each(reader, closeFromEach, &input), -1);  // and the reader freed
             EXPECT_EQ(errno, ECANCELED);
             EXPECT_EQ(input.calls, 3);
         }},
        {"catadump_each and catadump_next out of turn, and stopped early",
         [&] {
             MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
             catadump_reader* reader = nullptr;
             ASSERT_EQ(catadump_open_callbacks(readMemory, &memory, nullptr, &reader), 0);
             errno = 0;
             EXPECT_EQ(catadump_each(reader, takeOne, nullptr), -1);  // its entries go to catadump_next
             EXPECT_EQ(errno, EINVAL);
             catadump_close(reader);
             memory.position = 0;
             ASSERT_EQ(catadump_open_callbacks_with(readMemory, &memory, nullptr,
                                                    CATADUMP_ON_CALLER | CATADUMP_PROVENANCE, &reader),
                       0);
             catadump_entry entry;
             errno = 0;
             EXPECT_EQ(catadump_next(reader, &entry), -1);  // before catadump_each: nothing converts
             EXPECT_EQ(errno, EINVAL);
             Taking taking;
             taking.stopAfter = 5;
             EXPECT_EQ(catadump_each(reader, takeOne, &taking), CATADUMP_STOPPED);
             EXPECT_EQ(taking.taken, 5u);
             EXPECT_EQ(catadump_each(reader, takeOne, &taking), -1);  // once a reader
             EXPECT_EQ(catadump_next(reader, &entry), 0);
             catadump_provenance provenance;
             ASSERT_EQ(catadump_provenance_of(reader, &provenance), 0);
             EXPECT_EQ(provenance.rows, 5u);
             EXPECT_STREQ(provenance.sha256, "");  // the rest was not read: no hash of a part
             catadump_close(reader);
             size_t first = expected.find("\r\n") + 2, end = first;
             for (int row = 0; row < 5; ++row) end = expected.find("\r\n", end) + 2;
             EXPECT_EQ(taking.read.rows, expected.substr(first, end - first));
         }},
        {"a pipe in non-blocking mode", [&] { fromPipe(true, -1); }},
        {"a pipe waited for in slices", [&] { fromPipe(false, 5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
    }
}

}  // namespace
}  // namespace catadump::test
