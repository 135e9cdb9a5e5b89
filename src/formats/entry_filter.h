// Which entries a list keeps: by kind, and by their dates. The filter sits between the reader and the
// format (bindFormat installs it), so that every format lists only the kept entries without knowing.
#pragma once

#include <cstdint>
#include <string_view>

#include "model/entry.h"

namespace catadump {

enum class TypeFilter { any, files, folders };

struct EntryFilter {
    bool dated = false;  // since or until given
    // File times (100 ns since 1601-01-01 UTC); a date is in range when since <= date < until.
    uint64_t since = 0;
    uint64_t until = UINT64_MAX;
    TypeFilter type = TypeFilter::any;
};

// Whether the filter keeps anything out: when it does not, the format takes the entries straight.
inline bool filterActive(const EntryFilter& filter) { return filter.dated || filter.type != TypeFilter::any; }

// Whether a date is set and within the filter's range.
inline bool dateInRange(const EntryFilter& filter, uint64_t date) {
    return date != 0 && date >= filter.since && date < filter.until;
}

// An entry is kept when its kind is the one asked for and, with dates asked for, any of its dates (created,
// modified, accessed) is in range; the entries of the versions without dates are then never kept.
inline bool keepsEntry(const EntryFilter& filter, const Entry& entry) {
    if (filter.type == TypeFilter::files && entry.kind != EntryKind::file) return false;
    if (filter.type == TypeFilter::folders && entry.kind != EntryKind::folder) return false;
    if (!filter.dated) return true;
    const RowValues* values = entry.values;
    return values != nullptr &&
           (dateInRange(filter, values->dateCreated) || dateInRange(filter, values->dateModified) ||
            dateInRange(filter, values->dateAccessed));
}

// Reads an ISO 8601 date ("2021-03-04", midnight UTC) or date and time ("2021-03-04T05:06",
// "2021-03-04T05:06:07", "2021-03-04T05:06:07.1234567", a space allowed for the T; UTC, or the local
// time of an offset given as "Z", "+02", "+02:00" or "-0530") as a file time. False for anything else:
// fields out of range, a day the month does not have, a year before 1601 or after 9999, more than seven
// digits of fraction, text after it, or a time before 1601-01-01T00:00Z once the offset is applied.
bool parseFilterTime(std::string_view text, uint64_t& fileTime);

}  // namespace catadump
