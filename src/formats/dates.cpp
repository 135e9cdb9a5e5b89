#include <cstring>

#include "formats/format_rows.h"
#include "stream/number_text.h"

namespace catadump {

namespace {

constexpr uint64_t ticksPerSecond = 10000000;
constexpr uint64_t ticksPerDay = 86400 * ticksPerSecond;
constexpr uint64_t unixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a file time

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

// The date of a count of days since 1970-01-01, by arithmetic on 400-year eras of 146,097 days, with
// years counted from March so that the leap day falls last.
CivilDate civilFromDays(int64_t days) {
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    unsigned shifted = (5 * dayOfYear + 2) / 153;
    unsigned day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    unsigned month = shifted < 10 ? shifted + 3 : shifted - 9;
    int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

void put(char* out, uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

} // namespace

void appendNumber(std::string& text, uint64_t value) {
    char digits[maxDigitsU64 + decimalStoreWidth];
    char* end = writeDecimal(digits, value);
    text.append(digits, static_cast<size_t>(end - digits));
}

void appendIsoDate(std::string& text, uint64_t fileTime) {
    int64_t days = static_cast<int64_t>(fileTime / ticksPerDay) - static_cast<int64_t>(unixEpochTicks / ticksPerDay);
    uint64_t ofDay = fileTime % ticksPerDay;
    CivilDate date = civilFromDays(days);
    uint64_t seconds = ofDay / ticksPerSecond;
    char out[28];
    std::memcpy(out, "0000-00-00T00:00:00.0000000Z", 28);
    put(out, static_cast<uint64_t>(date.year), 4);
    put(out + 5, date.month, 2);
    put(out + 8, date.day, 2);
    put(out + 11, seconds / 3600, 2);
    put(out + 14, seconds / 60 % 60, 2);
    put(out + 17, seconds % 60, 2);
    put(out + 20, ofDay % ticksPerSecond, 7);
    text.append(out, sizeof out);
}

uint64_t unixSeconds(uint64_t fileTime) {
    return fileTime < unixEpochTicks ? 0 : (fileTime - unixEpochTicks) / ticksPerSecond;
}

} // namespace catadump
