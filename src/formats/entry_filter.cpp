#include "formats/entry_filter.h"

namespace catadump {

namespace {

constexpr uint64_t ticksPerSecond = 10000000;

// The text read from its start, field by field.
struct TimeText {
    std::string_view text;
    size_t at = 0;

    bool atEnd() const { return at == text.size(); }
    bool take(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    // Exactly `digits` digits as a number, or false.
    bool number(size_t digits, uint32_t& value) {
        if (text.size() - at < digits) return false;
        value = 0;
        for (size_t i = 0; i < digits; ++i) {
            char c = text[at + i];
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        at += digits;
        return true;
    }
};

bool leapYear(uint32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

uint32_t daysInMonth(uint32_t year, uint32_t month) {
    constexpr uint32_t lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return lengths[month - 1] + (month == 2 && leapYear(year) ? 1 : 0);
}

// Days from 1601-01-01 to the date, counted in years that begin on March 1 (as the dates are written), so
// that a leap day ends its year: 0000-03-01 is day 0 of that count, 1601-01-01 its day 584694.
uint64_t daysSince1601(uint32_t year, uint32_t month, uint32_t day) {
    uint32_t marchYear = month <= 2 ? year - 1 : year;
    uint32_t cycles = marchYear / 400;
    uint32_t ofCycle = marchYear - cycles * 400;
    uint32_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    uint64_t days = uint64_t{cycles} * 146097 + ofCycle * 365 + ofCycle / 4 - ofCycle / 100 + dayOfYear;
    return days - 584694;
}

// "Z", "+HH", "+HH:MM" or "+HHMM" (or with '-') as signed minutes east of UTC.
bool readOffset(TimeText& in, int64_t& minutes) {
    if (in.take('Z')) return true;
    bool east = in.take('+');
    if (!east && !in.take('-')) return false;
    uint32_t hours = 0;
    uint32_t ofHour = 0;
    if (!in.number(2, hours) || hours > 23) return false;
    if (!in.atEnd()) {
        in.take(':');  // "+HH:MM" and "+HHMM" alike
        if (!in.number(2, ofHour) || ofHour > 59) return false;
    }
    minutes = (east ? 1 : -1) * static_cast<int64_t>(hours * 60 + ofHour);
    return true;
}

}  // namespace

bool parseFilterTime(std::string_view text, uint64_t& fileTime) {
    TimeText in{text};
    uint32_t year = 0;
    uint32_t month = 0;
    uint32_t day = 0;
    if (!in.number(4, year) || !in.take('-') || !in.number(2, month) || !in.take('-') || !in.number(2, day)) {
        return false;
    }
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return false;
    uint64_t ticks = daysSince1601(year, month, day) * 86400 * ticksPerSecond;
    if (in.atEnd()) {
        fileTime = ticks;
        return true;
    }
    if (!in.take('T') && !in.take(' ')) return false;
    uint32_t hours = 0;
    uint32_t minutes = 0;
    uint32_t seconds = 0;
    if (!in.number(2, hours) || hours > 23 || !in.take(':') || !in.number(2, minutes) || minutes > 59) {
        return false;
    }
    uint64_t fraction = 0;
    if (in.take(':')) {
        if (!in.number(2, seconds) || seconds > 59) return false;
        if (in.take('.')) {
            // One to seven digits: a file time holds no more.
            uint64_t scale = ticksPerSecond;
            uint32_t digit = 0;
            size_t digits = 0;
            while (in.number(1, digit)) {
                if (++digits > 7) return false;
                scale /= 10;
                fraction += digit * scale;
            }
            if (digits == 0) return false;
        }
    }
    ticks += (uint64_t{hours} * 3600 + minutes * 60 + seconds) * ticksPerSecond + fraction;
    int64_t offsetMinutes = 0;
    if (!in.atEnd() && !readOffset(in, offsetMinutes)) return false;
    if (!in.atEnd()) return false;
    // The local time less its offset is UTC: east of UTC it is earlier.
    if (offsetMinutes > 0) {
        uint64_t shift = static_cast<uint64_t>(offsetMinutes) * 60 * ticksPerSecond;
        if (ticks < shift) return false;
        ticks -= shift;
    } else {
        ticks += static_cast<uint64_t>(-offsetMinutes) * 60 * ticksPerSecond;
    }
    fileTime = ticks;
    return true;
}

}  // namespace catadump
