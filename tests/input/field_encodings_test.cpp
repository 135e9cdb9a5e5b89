#include <unistd.h>

#include "input/field_encodings.h"
#include "stream_fixture.h"

namespace catadump::test {
namespace {

constexpr uint32_t sentinel = 0x5EA1ED00;

struct CompactCase {
    std::string name;
    std::string bytes;
    uint32_t value;
};
void PrintTo(const CompactCase& test, std::ostream* out) { *out << test.name; }

class CompactCountReads : public StreamFixture, public ::testing::TestWithParam<CompactCase> {};

TEST_P(CompactCountReads, ReadTheValueAndConsumeExactlyTheirBytes) {
    open(DbBuilder().raw(GetParam().bytes).u32(sentinel).bytes(), Mode::raw);
    EXPECT_EQ(readCompactCount(stream), GetParam().value);
    EXPECT_EQ(readU32(stream), sentinel);
    EXPECT_FALSE(flags().readError);
}

INSTANTIATE_TEST_SUITE_P(, CompactCountReads,
                         ::testing::Values(CompactCase{"LongZero", std::string("\xFF\0\0\0\0", 5), 0},
                                           CompactCase{"LongFive", std::string("\xFF\x05\0\0\0", 5), 5},
                                           CompactCase{"Short254", "\xFE", 254},
                                           CompactCase{"ShortZero", std::string("\0", 1), 0},
                                           CompactCase{"Long255", std::string("\xFF\xFF\0\0\0", 5), 255},
                                           CompactCase{"LongMax", "\xFF\xFF\xFF\xFF\xFF", 0xFFFFFFFF}),
                         [](const auto& test) { return test.param.name; });

class Encodings : public StreamFixture, public ::testing::Test {};

TEST_F(Encodings, FailedFirstByteReadsAsZeroNotAsTheLongForm) {
    open("", Mode::raw);
    EXPECT_EQ(readCompactCount(stream), 0u);
    EXPECT_TRUE(flags().readError);
}

struct StringCase {
    std::string name;
    DbBuilder field;
    std::string text;
};
void PrintTo(const StringCase& test, std::ostream* out) { *out << test.name; }

class CountedStrings : public StreamFixture, public ::testing::TestWithParam<StringCase> {};

TEST_P(CountedStrings, ReadTheirBytesAndNothingMore) {
    for (Mode mode : {Mode::raw, Mode::compressed}) {
        resetFlags();
        open(DbBuilder().raw(GetParam().field.bytes()).u32(sentinel).bytes(), mode, 16);
        EXPECT_EQ(readCountedString(stream), GetParam().text) << modeName(mode);
        EXPECT_EQ(readU32(stream), sentinel) << modeName(mode);
        EXPECT_FALSE(flags().readError) << modeName(mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    , CountedStrings,
    ::testing::Values(
        StringCase{"Empty", DbBuilder().str(""), ""},
        StringCase{"EmptyLongForm", DbBuilder().strLong(""), ""},
        StringCase{"Short", DbBuilder().str("abc"), "abc"},
        StringCase{"ShortInLongForm", DbBuilder().strLong("abc"), "abc"},
        StringCase{"LongerThanReadAhead", DbBuilder().str(std::string(300, 'n')), std::string(300, 'n')},
        StringCase{"WithZeroByte", DbBuilder().str(std::string("ab\0cd", 5)), std::string("ab\0cd", 5)}),
    [](const auto& test) { return test.param.name; });

TEST(VisibleText, EndsAtTheFirstZeroByte) {
    EXPECT_EQ(visibleText(std::string_view("ab\0cd", 5)), "ab");
    EXPECT_EQ(visibleText("abc"), "abc");
    EXPECT_EQ(visibleText(std::string_view("\0x", 2)), "");
}

TEST_F(Encodings, StringCutShortByTheEndReadsAsEmpty) {
    open(DbBuilder().compact(10).raw("12345").bytes(), Mode::raw);
    EXPECT_EQ(readCountedString(stream), "");
    EXPECT_TRUE(flags().readError);
    EXPECT_EQ(readCountedString(stream), "");  // the length now reads as 0
}

using EncodingsDeathTest = Encodings;

TEST_F(Encodings, LengthAllOnesEndsTheRun) {
    open(DbBuilder().compactLong(0xFFFFFFFF).raw("abc").bytes(), Mode::raw);
    try {
        readCountedString(stream);
        ADD_FAILURE() << "the run went on";
    } catch (const FatalCondition& condition) {
        EXPECT_STREQ(condition.line, "bad string size -1\n");
    }
}

// A claimed length of four thousand million bytes in a file of a hundred: the string must grow with the
// bytes that are there, not with the claim, and read as empty once the data has run out.
TEST_F(EncodingsDeathTest, HugeClaimedLengthCostsOnlyTheBytesPresent) {
    for (Mode mode : {Mode::raw, Mode::compressed}) {
        resetFlags();
        open(DbBuilder().compactLong(4000000000u).raw(noisyBytes(100)).bytes(), mode);
        std::string text = readCountedString(stream);
        EXPECT_TRUE(text.empty()) << modeName(mode);
        EXPECT_LT(text.capacity(), size_t{1} << 20) << modeName(mode);
        EXPECT_TRUE(flags().readError) << modeName(mode);
    }
}

struct BlobCase {
    std::string name;
    std::vector<BlobItem> items;
};
void PrintTo(const BlobCase& test, std::ostream* out) { *out << test.name; }

class BlobLists : public StreamFixture, public ::testing::TestWithParam<BlobCase> {};

TEST_P(BlobLists, AreSkippedExactly) {
    for (Mode mode : {Mode::raw, Mode::compressed}) {
        resetFlags();
        open(DbBuilder().blobList(GetParam().items).u32(sentinel).bytes(), mode, 16);
        skipBlobList(stream);
        EXPECT_EQ(readU32(stream), sentinel) << modeName(mode);
        EXPECT_FALSE(flags().readError) << modeName(mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    , BlobLists,
    ::testing::Values(BlobCase{"NoItems", {}}, BlobCase{"EmptyItem", {{1, ""}}},
                      BlobCase{"Item256", {{2, std::string(256, 'a')}}},
                      BlobCase{"Item300", {{3, std::string(300, 'b')}}},
                      BlobCase{"LongFormLengths", {{4, "xy", true}, {5, std::string(255, 'c'), true}}},
                      BlobCase{"SeveralItems", {{6, "one"}, {7, std::string(70000, 'd')}, {255, "three"}}}),
    [](const auto& test) { return test.param.name; });

// Four thousand million items in a few bytes: once the data has run out the rest would only be zeroes, so
// the skip must stop there rather than ask the source for every one of them. Run in a child with a timer.
TEST_F(EncodingsDeathTest, BlobListClaimingCountlessItemsStopsAtTheEndOfTheData) {
    open(DbBuilder().compactLong(0xFFFFFFFF).u8(1).compact(2).raw("ab").bytes(), Mode::raw);
    auto skipWithTimer = [this] {
        ::alarm(10);
        skipBlobList(stream);
        std::_Exit(flags().readError && sourceReads() < 10 ? 0 : 3);
    };
    EXPECT_EXIT(skipWithTimer(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Encodings, SkipBytesConsumesExactlyThatMany) {
    open(DbBuilder().repeat(1000, 0xEE).u32(sentinel).bytes(), Mode::compressed, 16);
    skipStreamBytes(stream, 0);
    skipStreamBytes(stream, 1000);
    EXPECT_EQ(readU32(stream), sentinel);
    skipStreamBytes(stream, 1);
    EXPECT_TRUE(flags().readError);
}

}  // namespace
}  // namespace catadump::test
