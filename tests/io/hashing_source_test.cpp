// The hashing source: the digest and count of every byte a source gives, whatever the size of its reads,
// against coreutils' sha256sum on the same file; and of the whole database when a conversion stops early
// and the rest is read for the hash alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/convert.h"
#include "io/byte_source.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

namespace catadump::test {
namespace {

std::string digestOf(std::string_view bytes) {
    platform::Sha256 hash;
    hash.add(bytes.data(), bytes.size());
    return hash.finish();
}

// A source that gives at most `limit` bytes a read, its end once, and fails if asked again after it: as a
// caller's callback may.
struct SmallReads {
    std::string_view bytes;
    size_t limit = 1;
    size_t position = 0;
    int endsGiven = 0;
};
int64_t readSmall(void* context, void* destination, size_t n) {
    auto& input = *static_cast<SmallReads*>(context);
    if (input.position == input.bytes.size()) return input.endsGiven++ == 0 ? 0 : -1;
    size_t count = std::min({n, input.limit, input.bytes.size() - input.position});
    std::memcpy(destination, input.bytes.data() + input.position, count);
    input.position += count;
    return static_cast<int64_t>(count);
}
int failureCode(void*) { return 5; }

std::string sha256sumOf(const std::string& path) {
    std::string command = "sha256sum '" + path + "' 2>/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char line[256] = {};
    bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    bool succeeded = ::pclose(pipe) == 0;
    return read && succeeded ? std::string(line, 64) : "";
}

TEST(HashingSource, AgreesWithSha256sumWhateverTheReadsAndWhereTheRestIsRead) {
    TempDir dir;
    const std::string noisy = noisyBytes((3u << 20) + 17);
    for (size_t size :
         {size_t{0}, size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65}, noisy.size()}) {
        std::string path = dir.write("input", std::string_view(noisy).substr(0, size));
        std::string expected = sha256sumOf(path);
        if (expected.empty()) GTEST_SKIP() << "no sha256sum program here";
        std::string bytes = *readWholeFile(path);
        for (size_t limit : {size_t{1}, size_t{7}, size_t{4096}}) {
            // Up to the end through the source, as a conversion that read everything; or a part of it, as
            // one that stopped early; the rest is read for the hash alone. The end is asked for only once.
            // Hashed on the reading thread, or (whole reads only, for time) on a thread of its own.
            for (size_t taken : {size, size / 3})
                for (bool ownThread : {false, true}) {
                    if (ownThread && limit != 4096) continue;
                    SmallReads small{bytes, limit};
                    HashingInput input;
                    input.inner = {&small, readSmall, failureCode};
                    if (ownThread) {
                        ASSERT_TRUE(hashOnItsOwnThread(input));
                    }
                    ByteSource source = hashingSource(input);
                    std::string buffer(4096, '\0');
                    size_t got = 0;
                    while (got < taken) {
                        int64_t n =
                            source.read(source.context, buffer.data(), std::min(taken - got, buffer.size()));
                        ASSERT_GT(n, 0);
                        got += static_cast<size_t>(n);
                    }
                    if (taken == size) {
                        EXPECT_EQ(source.read(source.context, buffer.data(), 1), 0);
                    }
                    EXPECT_TRUE(readRestForHash(input)) << size;
                    EXPECT_FALSE(input.failed);
                    EXPECT_EQ(input.bytes, size);
                    EXPECT_EQ(input.hash.finish(), expected) << size << " bytes, " << limit << " a read";
                }
        }
    }
}

TEST(HashingSource, AFailureOfTheSourceIsReportedWithItsCode) {
    SmallReads small{"QWTB", 3};
    small.endsGiven = 1;  // the end is not given: the source fails where it would be
    HashingInput input;
    input.inner = {&small, readSmall, failureCode};
    EXPECT_FALSE(readRestForHash(input));
    EXPECT_TRUE(input.failed);
    EXPECT_EQ(input.bytes, 4u);
    ByteSource source = hashingSource(input);
    EXPECT_EQ(source.lastError(source.context), 5);
}

// A conversion that stops on damage before the end of the database leaves the rest for readRestForHash:
// the count and the digest are those of every byte, also where the threaded bzip2 decoder read ahead.
TEST(HashingSource, ConversionStoppedByDamageThenTheRestRead) {
    std::string database = syntheticDatabase(2000, 60000);
    std::string packed = bzip2(database, 1);
    const struct {
        const char* name;
        std::string bytes;
        unsigned decoderThreads;
    } cases[] = {
        {"UnknownVersion", flipByte(database, 6), 0},
        {"CorruptBzip2Block", flipByte(packed, packed.size() / 3, 0x10), 0},
        {"CorruptBzip2BlockThroughTheFilter", flipByte(packed, packed.size() / 3, 0x10), 1},
    };
    for (const auto& c : cases) {
        MemoryInput memory{reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), 0};
        HashingInput input;
        input.inner = memorySource(memory);
        ASSERT_TRUE(hashOnItsOwnThread(input));  // as the program hashes
        std::string console;
        MemorySink sink;
        ConversionOptions options;
        options.readAhead = 4096;
        options.decoderThreads = c.decoderThreads;
        ConversionResult result =
            convert(hashingSource(input), memorySink(sink), memoryConsole(console), options);
        EXPECT_TRUE(result.flags.corrupt || !result.recognised) << c.name << "\n" << console;
        ASSERT_LT(input.bytes, c.bytes.size()) << c.name << ": the conversion read everything";
        EXPECT_TRUE(readRestForHash(input)) << c.name;
        EXPECT_EQ(input.bytes, c.bytes.size()) << c.name;
        EXPECT_EQ(input.hash.finish(), digestOf(c.bytes)) << c.name;
    }
}

}  // namespace
}  // namespace catadump::test
