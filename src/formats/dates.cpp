#include <cstring>

#include "formats/format_rows.h"
#include "stream/number_text.h"

namespace catadump {

namespace {

constexpr uint64_t ticksPerSecond = 10000000;
constexpr uint64_t ticksPerDay = 86400 * ticksPerSecond;
constexpr uint64_t unixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a file time

struct CivilDate {
    uint32_t year;
    uint32_t month;
    uint32_t day;
};

// The date of a count of days since 1601-01-01 (a file time's day), by arithmetic on 400-year eras of
// 146,097 days with years counted from March, so that the leap day falls last. 1601-01-01 is day 584,694
// of such a count from 0000-03-01; every quantity stays positive and within 32 bits up to the year 9999.
CivilDate civilFromDays(uint32_t days) {
    days += 584694;
    uint32_t era = days / 146097;
    uint32_t dayOfEra = days - era * 146097;
    uint32_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    uint32_t shifted = (5 * dayOfYear + 2) / 153;
    uint32_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    uint32_t month = shifted < 10 ? shifted + 3 : shifted - 9;
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

void putTwo(char* out, unsigned value) { std::memcpy(out, detail::digitPairs + 2 * value, 2); }

} // namespace

void writeIsoDate(char* out, uint64_t fileTime) {
    auto days = static_cast<uint32_t>(fileTime / ticksPerDay);
    uint64_t ofDay = fileTime - uint64_t{days} * ticksPerDay;
    CivilDate date = civilFromDays(days);
    uint64_t seconds = ofDay / ticksPerSecond;
    std::memcpy(out, "0000-00-00T00:00:00.0000000Z", 28);
    putTwo(out, date.year / 100);
    putTwo(out + 2, date.year % 100);
    putTwo(out + 5, date.month);
    putTwo(out + 8, date.day);
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

} // namespace catadump
