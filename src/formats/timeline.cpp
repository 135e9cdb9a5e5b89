// The timeline: JSON Lines that timeline tools import as they are, one event a line (LF) for each date an
// entry has, in the order created, modified, accessed. Each line has the fields such an import requires:
// "message" (the path and what it is), "datetime" (ISO 8601 UTC with its offset, to the microsecond),
// "timestamp" (the same instant in microseconds since 1970, negative before) and "timestamp_desc" (which
// date it is); then the entry as the jsonl format has it ("path", "path_hex" where the path is not UTF-8,
// "type", "size", "attributes") and "filetime", the date as stored. Only the versions with values have
// dates, so every event has a size. A date past the year 9999 has no ISO form: it gives no event and is
// counted (RowOutput::datesOutOfRange). With dates to filter by, each event is kept by its own date. In a
// run that recovers, each line's last key is the entry's "status".
#include "formats/format_rows.h"

#include <string_view>

#include "model/paths.h"

namespace catadump {

namespace {

// 1970-01-01 as microseconds since 1601-01-01.
constexpr uint64_t unixEpochMicroseconds = 11644473600000000ull;

constexpr std::string_view dateDescriptions[] = {"Creation Time", "Content Modification Time",
                                                 "Last Access Time"};

void writeTimelineHeader(RowOutput& output, ColumnSet) {
    if (output.withSource) makeJsonSourceText(output);
}

// The keys of the event's date, from "datetime" to "timestamp_desc", and the comma after them. The
// microseconds are the first six of the seven digits of the fraction: the time truncated toward the past,
// as "timestamp" is.
void putEventTime(RowText& text, uint64_t fileTime, std::string_view description) {
    text.put(",\"datetime\":\"");
    text.isoDate(fileTime);
    text.cursor -= 2;  // the seventh digit and the 'Z'
    text.put("+00:00\",\"timestamp\":");
    uint64_t microseconds = fileTime / 10;
    if (microseconds >= unixEpochMicroseconds) {
        text.number(microseconds - unixEpochMicroseconds);
    } else {
        text.put('-');
        text.number(unixEpochMicroseconds - microseconds);
    }
    text.put(",\"timestamp_desc\":\"");
    text.put(description.data(), description.size());
    text.put("\",");
}

// The last keys of a line: "filetime", and the status where the rows have one (null: none).
void putFileTime(RowText& text, uint64_t fileTime, const EntryStatus* status) {
    text.put("\"filetime\":");
    text.number(fileTime);
    if (status != nullptr) {
        text.put(",\"status\":\"");
        putStatus(text, *status);
        text.put('"');
    }
    text.put("}\n");
}

void writeTimelineEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    const RowValues* values = entry.values;
    if (values == nullptr) {
        --output.rowsBeyondEntries;  // an entry without dates is no event
        return;
    }
    const uint64_t dates[] = {values->dateCreated, values->dateModified, values->dateAccessed};
    bool events[3] = {};
    size_t count = 0;
    for (size_t i = 0; i < 3; ++i) {
        uint64_t date = dates[i];
        bool event = date != 0 && (!output.filter.dated || dateInRange(output.filter, date));
        if (event && date > lastIsoFileTime) {
            ++output.datesOutOfRange;
            event = false;
        }
        events[i] = event;
        count += event ? 1 : 0;
    }
    output.rowsBeyondEntries += static_cast<int64_t>(count) - 1;  // a line for each event
    if (count == 0) return;

    RowPath path = rowPath(output, table, entry);
    // A line has the path twice, escaped (a byte takes at most six bytes, a kept folder part is as long as
    // its text), and may have it in hex (two bytes a byte, a kept folder part at most twice its text).
    size_t keptSize = path.kept ? 4 * output.keptText.size() : 0;
    size_t lineRoom = output.sourceText.size() + keptSize + 14 * (path.folder.size() + path.name.size()) +
                      300 + 5 * numberRoom + statusRoom(output);
    RowText text(output, count * lineRoom);

    // The first event's line in full; the others copy its parts before and after the date from it.
    size_t first = events[0] ? 0 : events[1] ? 1 : 2;
    char* head = text.cursor;
    text.put('{');
    putSourceText(text, output);
    text.put("\"message\":\"");
    char* escapedPath = text.cursor;
    bool valid = putFolderPart(text, output, entry, path, putJsonChars);
    valid = putJsonChars(text, path.name) && valid;
    auto escapedSize = static_cast<size_t>(text.cursor - escapedPath);
    if (path.file) {
        text.put(" (file, ");
        text.number(values->size);
        text.put(" bytes)\"");
    } else {
        text.put(" (folder)\"");
    }
    auto headSize = static_cast<size_t>(text.cursor - head);
    putEventTime(text, dates[first], dateDescriptions[first]);

    char* tail = text.cursor;
    text.put("\"path\":\"");
    text.put(escapedPath, escapedSize);
    text.put('"');
    if (!valid) putPathHex(text, output, table, entry, path);
    if (path.file) {
        text.put(",\"type\":\"file\",\"size\":");
    } else {
        text.put(",\"type\":\"folder\",\"size\":");
    }
    text.number(values->size);
    text.put(",\"attributes\":");
    text.number(values->attributes);
    text.put(',');
    auto tailSize = static_cast<size_t>(text.cursor - tail);
    const EntryStatus* status = output.recover ? &entry.status : nullptr;
    putFileTime(text, dates[first], status);

    for (size_t i = first + 1; i < 3; ++i) {
        if (!events[i]) continue;
        text.put(head, headSize);
        putEventTime(text, dates[i], dateDescriptions[i]);
        text.put(tail, tailSize);
        putFileTime(text, dates[i], status);
    }
    text.finish();
}

}  // namespace

const OutputFormat timelineOutput = {"timeline", writeTimelineHeader, writeTimelineEntry};

}  // namespace catadump
