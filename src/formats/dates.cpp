#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/format_rows.h"
#include "output/number_text.h"

namespace catadump {

namespace {

constexpr uint64_t ticksPerSecond = 10000000;
constexpr uint64_t ticksPerDay = 86400 * ticksPerSecond;

// Days from 0000-03-01 of the proleptic Gregorian calendar to 1601-01-01. Counted from a March 1, a year
// ends with its leap day, so the day of the year does not depend on whether the year is a leap year.
constexpr uint32_t marchYearsOffset = 584694;

// "-MM-DDT" of each day of a year that begins on March 1 (its day 306 is January 1 of the next year),
// padded to eight bytes for one store.
constexpr auto monthDayTexts = [] {
    constexpr uint32_t lengths[] = {31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 31, 29};
    std::array<std::array<char, 8>, 366> texts{};
    uint32_t dayOfYear = 0;
    for (uint32_t k = 0; k < 12; ++k) {
        uint32_t month = (k + 2) % 12 + 1;
        for (uint32_t day = 1; day <= lengths[k]; ++day) {
            texts[dayOfYear++] = {'-',
                                  static_cast<char>('0' + month / 10),
                                  static_cast<char>('0' + month % 10),
                                  '-',
                                  static_cast<char>('0' + day / 10),
                                  static_cast<char>('0' + day % 10),
                                  'T',
                                  '\0'};
        }
    }
    return texts;
}();

// A day as its year and its day of the year counted from March 1.
struct CivilDay {
    uint32_t year;
    uint32_t dayOfYear;
};

// The day of a count of days since 1601-01-01, up to the end of 9999, with multiplications by
// reciprocals (the 400-year cycle, then the century, then the year; Neri and Schneider's Euclidean affine
// form): no table of years and no branch, as rows carry three dates each.
CivilDay civilDay(uint32_t days) {
    uint32_t n = 4 * (days + marchYearsOffset) + 3;
    uint32_t centuries = n / 146097;
    uint64_t ofCenturies = uint64_t{2939745} * ((n % 146097) | 3);
    auto dayOfYear = static_cast<uint32_t>(ofCenturies) / 11758980;  // the low half / 2939745 / 4
    uint32_t year = 100 * centuries + static_cast<uint32_t>(ofCenturies >> 32) + (dayOfYear >= 306 ? 1 : 0);
    return {year, dayOfYear};
}

}  // namespace

void writeIsoDate(char* out, uint64_t fileTime) {
    auto days = static_cast<uint32_t>(fileTime / ticksPerDay);
    auto ofDay = fileTime - uint64_t{days} * ticksPerDay;
    auto seconds = static_cast<uint32_t>(ofDay / ticksPerSecond);
    auto fraction = static_cast<uint32_t>(ofDay - uint64_t{seconds} * ticksPerSecond);
    uint32_t hours = seconds / 3600;
    uint32_t rest = seconds - hours * 3600;
    uint32_t minutes = rest / 60;
    CivilDay civil = civilDay(days);
#if defined(__SSE2__)
    // The digits of "YYYYHHMM" and "0fffffff" at once, the leading zero of the fraction made its point.
    __m128i text = _mm_add_epi8(
        detail::sixteenDigitValues(civil.year * 10000 + hours * 100 + minutes, fraction),
        _mm_setr_epi8('0', '0', '0', '0', '0', '0', '0', '0', '.', '0', '0', '0', '0', '0', '0', '0'));
    auto yearAndTime = static_cast<uint64_t>(_mm_cvtsi128_si64(text));
    std::memcpy(out, &yearAndTime, 4);
    std::memcpy(out + 4, monthDayTexts[civil.dayOfYear].data(), 8);
    uint64_t time = (yearAndTime >> 32 & 0xFFFF) | (yearAndTime >> 48) << 24 | 0x3A00003A0000ULL;
    std::memcpy(out + 11, &time, 8);  // "HH:MM:", then the seconds over its last two bytes
    std::memcpy(out + 17, detail::digitPairs + 2 * (rest - minutes * 60), 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 19), _mm_unpackhi_epi64(text, text));
#else
    std::memcpy(out, detail::digitPairs + 2 * (civil.year / 100), 2);
    std::memcpy(out + 2, detail::digitPairs + 2 * (civil.year % 100), 2);
    std::memcpy(out + 4, monthDayTexts[civil.dayOfYear].data(), 8);
    // "HH:MM:SS": the three numbers in lanes of one word, each split into its two digits at once (v / 10
    // is (v * 103) >> 10 for every v below 100).
    uint64_t lanes = hours | uint64_t{minutes} << 24 | uint64_t{rest - minutes * 60} << 48;
    uint64_t tens = ((lanes * 103) >> 10) & 0x000F00000F00000FULL;
    uint64_t time = tens | (lanes - tens * 10) << 8 | 0x30303A30303A3030ULL;
    std::memcpy(out + 11, &time, 8);
    // The point and seven digits of the fraction: the eight of a block, its leading zero replaced.
    uint64_t block = (eightDigitBlock(fraction) & ~uint64_t{0xFF}) | '.';
    std::memcpy(out + 19, &block, 8);
#endif
    out[27] = 'Z';
}

}  // namespace catadump
