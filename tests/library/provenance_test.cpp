// The provenance of a reader against the program's --summary of the same database: raw and bzip2-wrapped,
// cut short, fatal, with bytes past its end, not a database; read from a path, a descriptor and callbacks.
// Without CATADUMP_PROVENANCE nothing is hashed; unknown flags are refused; a read that fails leaves no
// hash; a reader closed while the rest is read for the hash returns at once.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "catadump.h"
#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "formats/format_rows.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

// The value of `key` in a summary line as its JSON text: a number, a string without its quotes (the keys
// read here hold no escapes), or null.
std::string summaryField(const std::string& line, const std::string& key) {
    const std::string marker = "\"" + key + "\":";
    size_t at = line.find(marker);
    if (at == std::string::npos) return "(absent)";
    at += marker.size();
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

// What a reader gave: its end, its entries and its provenance (the hash copied out before the close).
struct Provenanced {
    int end = 99;
    uint64_t entries = 0;
    int provenanceStatus = 99;
    catadump_provenance provenance{};
    std::string sha256;
    bool readError = false;
};

Provenanced readToTheEnd(catadump_reader* reader) {
    Provenanced got;
    catadump_entry entry;
    while ((got.end = catadump_next(reader, &entry)) == 1) ++got.entries;
    got.provenanceStatus = catadump_provenance_of(reader, &got.provenance);
    got.sha256 = got.provenance.sha256 != nullptr ? got.provenance.sha256 : "(null)";
    got.readError = catadump_read_error(reader) != 0;
    catadump_close(reader);
    return got;
}

std::string isoDate(uint64_t fileTime) {
    char text[28];
    writeIsoDate(text, fileTime);
    return std::string(text, sizeof text);
}

std::string fatalDatabase() {
    MarkedDatabase fatal = encodeMarked(catagen::makeSyntheticTree({}), Version::v1_7_8);
    return fatal.bytes.replace(fatal.marks.filesystems[0] + 1, 1, "\xff\xff\xff\xff\xff");
}

TEST(LibraryProvenance, EqualsTheProgramsSummaryOfTheSameDatabase) {
    struct Case {
        std::string name;
        std::string bytes;
        int end;  // what catadump_next gives last
    };
    std::vector<Case> cases;
    for (Version version : allVersions) {
        std::string raw = catagen::encodeDatabase(catagen::makeSyntheticTree({}), version);
        cases.push_back({versionName(version) + " raw", raw, 0});
        cases.push_back({versionName(version) + " bzip2", bzip2(raw), 0});
    }
    std::string large = syntheticDatabase(400, 20000);
    cases.push_back({"cut short", cut(large, large.size() / 3), 0});
    cases.push_back({"bzip2 cut short", cut(bzip2(large), bzip2(large).size() / 3), 0});
    cases.push_back(
        {"fatal: the conversion stops at once, the rest is read for the hash", fatalDatabase(), -1});
    cases.push_back({"3 MiB past the database's end", large + noisyBytes(3 << 20), 0});
    cases.push_back({"not a database", "not a database, only text\n", 0});
    cases.push_back({"empty", "", 0});
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.write("Quillseek.db", c.bytes);
        runProgram({"--summary=" + dir.pathOf("s.jsonl"), path, dir.pathOf("out.qlx")});
        std::string summary = readWholeFile(dir.pathOf("s.jsonl")).value_or("");
        ASSERT_EQ(lines(summary).size(), 1u) << summary;
        EXPECT_EQ(summaryField(summary, "size"), std::to_string(c.bytes.size()));
        ASSERT_EQ(summaryField(summary, "sha256").size(), 64u) << summary;

        catadump_reader* reader = nullptr;
        ASSERT_EQ(catadump_open_path_with(path.c_str(), nullptr, CATADUMP_PROVENANCE, &reader), 0);
        Provenanced fromPath = readToTheEnd(reader);
        int fd = ::open(path.c_str(), O_RDONLY);
        catadump_options oneThread{1, nullptr, nullptr};
        ASSERT_EQ(catadump_open_fd_with(fd, &oneThread, CATADUMP_PROVENANCE, &reader), 0);
        Provenanced fromDescriptor = readToTheEnd(reader);
        ::close(fd);
        MemoryInput memory{reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), 0};
        ASSERT_EQ(catadump_open_callbacks_with(readMemory, &memory, nullptr, CATADUMP_PROVENANCE, &reader),
                  0);
        Provenanced fromCallbacks = readToTheEnd(reader);
        for (const Provenanced* got : {&fromPath, &fromDescriptor, &fromCallbacks}) {
            EXPECT_EQ(got->end, c.end);
            EXPECT_EQ(got->provenanceStatus, 0);
            EXPECT_EQ(std::to_string(got->provenance.size), summaryField(summary, "size"));
            EXPECT_EQ(got->sha256, summaryField(summary, "sha256"));
            EXPECT_EQ(std::to_string(got->provenance.rows), summaryField(summary, "rows"));
            EXPECT_EQ(std::to_string(got->provenance.dates_out_of_range),
                      summaryField(summary, "dates_out_of_range"));
            EXPECT_EQ(got->provenance.rows, c.end == 0 ? got->entries : 0);
        }
        for (const Provenanced* got : {&fromPath, &fromDescriptor}) {
            ASSERT_EQ(got->provenance.has_modified, 1);
            EXPECT_EQ(isoDate(got->provenance.modified), summaryField(summary, "mtime"));
        }
        EXPECT_EQ(fromCallbacks.provenance.has_modified, 0);  // no file to ask

        // Without the flag nothing is counted, hashed or looked up; the rows are there all the same.
        ASSERT_EQ(catadump_open_path(path.c_str(), nullptr, &reader), 0);
        Provenanced plain = readToTheEnd(reader);
        EXPECT_EQ(plain.provenanceStatus, 0);
        EXPECT_EQ(plain.sha256, "");
        EXPECT_EQ(plain.provenance.size, 0u);
        EXPECT_EQ(plain.provenance.has_modified, 0);
        EXPECT_EQ(plain.provenance.rows, fromPath.provenance.rows);
    }
}

TEST(LibraryProvenance, RefusedFlagsAndAProvenanceAskedForTooEarly) {
    std::string database = syntheticDatabase(100, 2000);
    TempDir dir;
    std::string path = dir.write("Quillseek.db", database);
    MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
    for (unsigned flags :
         {8u, 0x80000000u, CATADUMP_PROVENANCE | CATADUMP_ON_CALLER | CATADUMP_RECOVER | 8u, ~0u}) {
        SCOPED_TRACE(flags);
        catadump_reader* reader = reinterpret_cast<catadump_reader*>(&memory);  // overwritten with NULL
        errno = 0;
        EXPECT_EQ(catadump_open_path_with(path.c_str(), nullptr, flags, &reader), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(reader, nullptr);
        errno = 0;
        EXPECT_EQ(catadump_open_fd_with(0, nullptr, flags, &reader), -1);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(catadump_open_callbacks_with(readMemory, &memory, nullptr, flags, &reader), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(reader, nullptr);
    }
    // Before the end, and at the end with the entries still there: EAGAIN until catadump_next gives 0.
    catadump_reader* reader = nullptr;
    ASSERT_EQ(catadump_open_path_with(path.c_str(), nullptr, CATADUMP_PROVENANCE, &reader), 0);
    catadump_provenance provenance;
    errno = 0;
    EXPECT_EQ(catadump_provenance_of(reader, &provenance), -1);
    EXPECT_EQ(errno, EAGAIN);
    catadump_entry entry;
    ASSERT_EQ(catadump_next(reader, &entry), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the conversion has ended by now
    errno = 0;
    EXPECT_EQ(catadump_provenance_of(reader, &provenance), -1);
    EXPECT_EQ(errno, EAGAIN);
    Provenanced rest = readToTheEnd(reader);
    EXPECT_EQ(rest.provenanceStatus, 0);
    EXPECT_EQ(rest.provenance.rows, rest.entries + 1);
    EXPECT_EQ(rest.sha256.size(), 64u);
}

// A callback that gives `good` bytes of the data, then fails.
struct FailingInput {
    MemoryInput memory;
    size_t good = 0;
};

long long readThenFail(void* context, void* buffer, size_t size) {
    auto& input = *static_cast<FailingInput*>(context);
    if (input.memory.position >= input.good) return -1;
    return readMemory(&input.memory, buffer, std::min(size, input.good - input.memory.position));
}

TEST(LibraryProvenance, AReadThatFailsLeavesNoHash) {
    std::string database = syntheticDatabase(400, 20000);
    for (size_t good : {size_t{0}, database.size() / 2, database.size() - 1}) {
        SCOPED_TRACE(good);
        FailingInput input{{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0}, good};
        catadump_reader* reader = nullptr;
        ASSERT_EQ(catadump_open_callbacks_with(readThenFail, &input, nullptr, CATADUMP_PROVENANCE, &reader),
                  0);
        Provenanced got = readToTheEnd(reader);
        EXPECT_EQ(got.end, 0);
        EXPECT_TRUE(got.readError);
        EXPECT_EQ(got.provenanceStatus, 0);
        EXPECT_EQ(got.sha256, "");
        EXPECT_EQ(got.provenance.size, good);
    }
}

// Gives the database, then zeroes without end.
long long readThenZeroes(void* context, void* buffer, size_t size) {
    auto& input = *static_cast<MemoryInput*>(context);
    if (input.position < input.size) return readMemory(context, buffer, size);
    std::memset(buffer, 0, size);
    return static_cast<long long>(size);
}

// After the last entry the rest is read for the hash before the end is given: from a source that has no
// end, the end never comes, and the close stops the reading at once.
TEST(LibraryProvenance, ClosedWhileTheRestIsReadForTheHash) {
    std::string database = syntheticDatabase(200, 5000);
    MemoryInput whole{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
    catadump_reader* counting = nullptr;
    ASSERT_EQ(catadump_open_callbacks(readMemory, &whole, nullptr, &counting), 0);
    const uint64_t rows = readToTheEnd(counting).entries;
    auto entriesThenWaiting = [&](catadump_reader* reader) {
        catadump_entry entry;
        uint64_t entries = 0;
        int status;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (
            (status = catadump_next_timeout(reader, &entry, 100)) == 1 ||
            (status == CATADUMP_WAITING && entries < rows && std::chrono::steady_clock::now() < deadline)) {
            entries += status == 1 ? 1 : 0;
        }
        EXPECT_EQ(entries, rows);
        EXPECT_EQ(status, CATADUMP_WAITING);  // the end waits for the rest of the source
        catadump_provenance provenance;
        EXPECT_EQ(catadump_provenance_of(reader, &provenance), -1);
        // On a thread of its own, so that a close that never returns fails the test rather than holding it.
        auto closed = std::make_shared<std::promise<void>>();
        std::future<void> done = closed->get_future();
        std::thread closing([reader, closed] {
            catadump_close(reader);
            closed->set_value();
        });
        bool returned = done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        EXPECT_TRUE(returned) << "catadump_close did not return within 2 s";
        if (returned) {
            closing.join();
        } else {
            closing.detach();
        }
    };
    {
        SCOPED_TRACE("a callback that gives zeroes without end");
        MemoryInput memory{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
        catadump_reader* reader = nullptr;
        ASSERT_EQ(
            catadump_open_callbacks_with(readThenZeroes, &memory, nullptr, CATADUMP_PROVENANCE, &reader), 0);
        entriesThenWaiting(reader);
    }
    {
        SCOPED_TRACE("a pipe that is not closed");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::thread writer([&] {
            for (size_t at = 0; at < database.size();) {
                ssize_t wrote = ::write(fds[1], database.data() + at, database.size() - at);
                if (wrote <= 0) break;
                at += static_cast<size_t>(wrote);
            }
        });
        catadump_reader* reader = nullptr;
        ASSERT_EQ(catadump_open_fd_with(fds[0], nullptr, CATADUMP_PROVENANCE, &reader), 0);
        entriesThenWaiting(reader);
        writer.join();
        ::close(fds[0]);
        ::close(fds[1]);
    }
}

}  // namespace
}  // namespace catadump::test
