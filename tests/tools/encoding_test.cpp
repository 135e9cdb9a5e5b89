// Front coding and compact counts, checked by decoding the generator's bytes with the tests' own reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catagen/encoding.h"
#include "catagen/names.h"
#include "tools/byte_reader.h"

using namespace catagen;
using namespace catagen_test;

namespace {

std::vector<std::string> roundTrip(const std::vector<std::string>& names, CountForm form, bool oneByte,
                                   std::string* encoded = nullptr) {
    std::string out;
    ByteSink sink = makeSink(stringDrain(out), 64);
    CountWriter counts{form, Rng{42}};
    std::string previous;
    for (const std::string& name : names) {
        if (oneByte)
            putByteFrontCodedName(sink, previous, name);
        else
            putFrontCodedName(sink, counts, previous, name);
    }
    flush(sink);
    if (encoded) *encoded = out;
    ByteReader reader{out};
    std::string decodedPrevious;
    std::vector<std::string> decoded;
    for (size_t i = 0; i < names.size(); ++i)
        decoded.push_back(frontCodedName(reader, decodedPrevious, oneByte));
    EXPECT_EQ(reader.at, out.size()) << "bytes left over after the last name";
    return decoded;
}

// Lists that hit every case of the coding: empty names while the previous is empty, repeats, prefixes in both
// directions, nothing shared, 8-bit bytes, and (for the compact form) names long enough to need the long
// count.
const std::vector<std::vector<std::string>> kLists{
    {"", "", "a", "a", "ab", "a", "abc", "b", "ba", "ba"},
    {"report_2021_01.pdf", "report_2021_02.pdf", "report_2021_1.pdf", "report", "rep", "r", "zebra"},
    {"\xE9t\xE9", "\xE9t\xE9s", "\"quoted\", with comma", "\"quoted\""},
    {std::string(300, 'x'), std::string(300, 'x') + "y", "x", std::string(600, 'z')},
};

TEST(GenFrontCoding, RoundTripsInEveryCountForm) {
    for (CountForm form : {CountForm::Shortest, CountForm::Long, CountForm::Mixed})
        for (const auto& names : kLists) EXPECT_EQ(roundTrip(names, form, false), names);
}

TEST(GenFrontCoding, OneByteCountsRoundTripNamesUpTo255Bytes) {
    std::vector<std::string> names{std::string(255, 'a'), "a", std::string(255, 'b'), std::string(254, 'b'),
                                   "c"};
    EXPECT_EQ(roundTrip(names, CountForm::Shortest, true), names);
    EXPECT_EQ(roundTrip(kLists[1], CountForm::Shortest, true), kLists[1]);
}

TEST(GenFrontCoding, StripsTheLeastItCan) {
    // Keeps the whole shared prefix; a repeat is the single byte 0.
    EXPECT_EQ(frontCode("report_01", "report_02").stripCount, 1u);
    EXPECT_EQ(frontCode("report_01", "report_02").suffix, "2");
    EXPECT_EQ(frontCode("same", "same").suffixLength, 0u);
    // A prefix of the previous name keeps one byte less, since suffix length 0 would mean "repeat".
    FrontCode shorter = frontCode("abcdef", "abc");
    EXPECT_EQ(shorter.suffixLength, 1u);
    EXPECT_EQ(shorter.stripCount, 4u);
    EXPECT_EQ(shorter.suffix, "c");
    std::string encoded;
    roundTrip({"abc", "abc"}, CountForm::Shortest, false, &encoded);
    EXPECT_EQ(encoded, std::string("\x03\x00"
                                   "abc\x00",
                                   6));
}

TEST(GenCompactCounts, UseTheLongFormWhenNeededOrAsked) {
    std::string out;
    ByteSink sink = makeSink(stringDrain(out), 64);
    CountWriter shortest{CountForm::Shortest, {}};
    for (uint32_t v : {0u, 254u, 255u, 70000u}) putCompactCount(sink, shortest, v);
    CountWriter always{CountForm::Long, {}};
    putCompactCount(sink, always, 3);
    flush(sink);
    EXPECT_EQ(out, std::string("\x00\xFE\xFF\xFF\x00\x00\x00\xFF\x70\x11\x01\x00\xFF\x03\x00\x00\x00", 17));

    // Mixed writes both forms, and each decodes to the value written.
    std::string mixed;
    ByteSink mixedSink = makeSink(stringDrain(mixed), 64);
    CountWriter counts{CountForm::Mixed, Rng{7}};
    for (uint32_t v = 0; v < 64; ++v) putCompactCount(mixedSink, counts, v);
    flush(mixedSink);
    EXPECT_GT(mixed.size(), 64u + 4u);
    EXPECT_LT(mixed.size(), 64u * 5u);
    ByteReader reader{mixed};
    for (uint32_t v = 0; v < 64; ++v) EXPECT_EQ(compact(reader), v);
}

TEST(GenSiblingNames, AreSortedWithinLimitsAndShareStems) {
    Rng rng{99};
    NameRules rules{3, 20, true};
    std::vector<std::string> names;
    size_t shared = 0, total = 0;
    for (int group = 0; group < 200; ++group) {
        makeSiblingNames(rng, group % 2 ? NameKind::file : NameKind::folder, 12, rules, names);
        ASSERT_EQ(names.size(), 12u);
        EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_GE(names[i].size(), 3u);
            EXPECT_LE(names[i].size(), 20u);
            EXPECT_EQ(names[i].find_first_of(std::string("\\\0", 2)), std::string::npos);
            if (i > 0) shared += names[i].size() - frontCode(names[i - 1], names[i]).suffixLength;
            total += names[i].size();
        }
    }
    // Siblings are meant to look like real listings, where front coding keeps a good part of each name.
    EXPECT_GT(shared * 4, total);
}

}  // namespace
