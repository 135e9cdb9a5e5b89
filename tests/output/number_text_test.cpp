// The value columns' number text must be exactly the shortest decimal form, at every digit count and at
// the edges of the eight- and sixteen-digit blocks.
#include <gtest/gtest.h>

#include <charconv>
#include <random>
#include <string>

#include "output/number_text.h"

namespace catadump::test {
namespace {

std::string written(uint64_t value) {
    char text[32];
    return std::string(text, writeDecimal(text, value));
}

std::string expected(uint64_t value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

TEST(NumberText, EveryDigitCountAndBlockEdgeIsTheShortestDecimal) {
    std::vector<uint64_t> values = {0, UINT64_MAX, UINT32_MAX, 10000, 9999, 12345678, 1010101010101010101ULL};
    for (uint64_t power = 1; power <= 10000000000000000000ULL; power *= 10) {
        for (uint64_t value : {power - 1, power, power + 1, power * 2 - 1, power * 9})
            values.push_back(value);
        if (power == 10000000000000000000ULL) break;
    }
    for (uint64_t value : values) EXPECT_EQ(written(value), expected(value)) << value;
}

TEST(NumberText, RandomValuesOfEveryMagnitude) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        uint64_t value = random() >> (random() % 64);
        ASSERT_EQ(written(value), expected(value)) << value;
    }
}

TEST(NumberText, StoresNoFurtherThanTheStoreWidthOrTheDigits) {
    for (uint64_t value : {uint64_t{0}, uint64_t{7}, uint64_t{123456789}, uint64_t{9999999999999999},
                           uint64_t{133800000000000000}, UINT64_MAX}) {
        std::string text(40, '#');
        size_t digits = expected(value).size();
        writeDecimal(text.data(), value);
        size_t reach = std::max<size_t>(decimalStoreWidth, digits);
        EXPECT_EQ(text.find_first_not_of('#', reach), std::string::npos) << value;
    }
}

}  // namespace
}  // namespace catadump::test
