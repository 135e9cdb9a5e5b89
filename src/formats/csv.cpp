// CSV as RFC 4180 has it: the path always quoted with each quote doubled, a type column, the value columns
// the version has, CR LF. Dates as ISO 8601 UTC to 100 ns (empty for a time of 0, the number for one past
// the year 9999), or as their file-time numbers.
#include "formats/format_rows.h"

namespace catadump {

namespace {

void writeCsvHeader(RowOutput& output, ColumnSet columns) {
    writeString(*output.writer, columns == ColumnSet::withValues
                                    ? "Path,Type,Size,Created,Modified,Accessed,Attributes\r\n"
                                    : "Path,Type,Attributes\r\n");
}

void appendCsvDate(std::string& text, uint64_t fileTime, DateStyle dates) {
    text += ',';
    if (dates == DateStyle::filetime || fileTime > lastIsoFileTime) {
        appendNumber(text, fileTime);
    } else if (fileTime != 0) {
        appendIsoDate(text, fileTime);
    }
}

void writeCsvEntry(RowOutput& output, FolderTable& table, const Entry& entry) {
    entryPath(table, entry, output.path);
    std::string& text = output.text;
    text.assign(1, '"');
    for (char c : output.path) {
        if (c == '"') text += '"';
        text += c;
    }
    text += entry.kind == EntryKind::folder ? "\",folder," : "\",file,";
    if (const RowValues* values = entry.values) {
        appendNumber(text, values->size);
        for (uint64_t date : {values->dateCreated, values->dateModified, values->dateAccessed}) {
            appendCsvDate(text, date, output.dates);
        }
        text += ',';
    }
    appendNumber(text, entryAttributes(entry));
    text += "\r\n";
    writeText(output, text);
}

} // namespace

const OutputFormat csvOutput = {"csv", writeCsvHeader, writeCsvEntry};

} // namespace catadump
