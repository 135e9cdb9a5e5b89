#include <array>
#include <cstring>

#include "formats/format_rows.h"
#include "output/number_text.h"

namespace catadump {

namespace {

constexpr uint64_t ticksPerSecond = 10000000;
constexpr uint64_t ticksPerDay = 86400 * ticksPerSecond;
constexpr uint64_t unixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a file time

constexpr uint32_t firstYear = 1601;
constexpr uint32_t yearCount = 10000 - firstYear;  // 1601 to 9999

constexpr bool isLeapYear(uint32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// The day (counted from 1601-01-01) on which each year from 1601 to 10000 begins.
constexpr auto yearStarts = [] {
    std::array<uint32_t, yearCount + 2> starts{};
    uint32_t day = 0;
    for (uint32_t i = 0; i < starts.size(); ++i) {
        starts[i] = day;
        day += isLeapYear(firstYear + i) ? 366 : 365;
    }
    return starts;
}();

// "MM-DD" of each day of a leap year; a common year skips February 29, its day 59.
constexpr auto monthDayTexts = [] {
    constexpr uint32_t lengths[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::array<std::array<char, 5>, 366> texts{};
    uint32_t dayOfYear = 0;
    for (uint32_t month = 1; month <= 12; ++month) {
        for (uint32_t day = 1; day <= lengths[month - 1]; ++day) {
            texts[dayOfYear++] = {static_cast<char>('0' + month / 10), static_cast<char>('0' + month % 10),
                                  '-', static_cast<char>('0' + day / 10), static_cast<char>('0' + day % 10)};
        }
    }
    return texts;
}();

void putTwo(char* out, unsigned value) { std::memcpy(out, detail::digitPairs + 2 * value, 2); }

// "YYYY-MM-DD" of a count of days since 1601-01-01 up to the end of 9999: the year from its average
// length (146,097 days in 400 years, so the guess is off by at most one), then the tables. Rows carry
// three dates each, so this is a few loads rather than a chain of divisions.
void putCivilDate(char* out, uint32_t days) {
    uint32_t year = static_cast<uint32_t>(uint64_t{days} * 400 / 146097);
    if (yearStarts[year] > days) {
        --year;
    } else if (yearStarts[year + 1] <= days) {
        ++year;
    }
    uint32_t dayOfYear = days - yearStarts[year];
    if (dayOfYear >= 59 && !isLeapYear(firstYear + year)) ++dayOfYear;
    year += firstYear;
    putTwo(out, year / 100);
    putTwo(out + 2, year % 100);
    out[4] = '-';
    std::memcpy(out + 5, monthDayTexts[dayOfYear].data(), 5);
}

}  // namespace

void writeIsoDate(char* out, uint64_t fileTime) {
    auto days = static_cast<uint32_t>(fileTime / ticksPerDay);
    uint64_t ofDay = fileTime - uint64_t{days} * ticksPerDay;
    uint64_t seconds = ofDay / ticksPerSecond;
    std::memcpy(out, "0000-00-00T00:00:00.0000000Z", 28);
    putCivilDate(out, days);
    putTwo(out + 11, static_cast<unsigned>(seconds / 3600));
    putTwo(out + 14, static_cast<unsigned>(seconds / 60 % 60));
    putTwo(out + 17, static_cast<unsigned>(seconds % 60));
    // Seven digits of the fraction: the eight of a block, past its leading zero.
    char fraction[8];
    uint64_t block = eightDigitBlock(static_cast<uint32_t>(ofDay % ticksPerSecond));
    std::memcpy(fraction, &block, 8);
    std::memcpy(out + 20, fraction + 1, 7);
}

uint64_t unixSeconds(uint64_t fileTime) {
    return fileTime < unixEpochTicks ? 0 : (fileTime - unixEpochTicks) / ticksPerSecond;
}

}  // namespace catadump
