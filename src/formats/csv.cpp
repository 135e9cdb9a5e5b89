// CSV as RFC 4180 has it: the path always quoted with each quote doubled, a type column, the value columns
// the version has, CR LF. Dates as ISO 8601 UTC to 100 ns (empty for a time of 0, the number for one past
// the year 9999), or as their file-time numbers.
#include "formats/format_rows.h"
#include "model/paths.h"

namespace catadump {

namespace {

void writeCsvHeader(RowOutput& output, ColumnSet columns) {
    writeString(*output.writer, columns == ColumnSet::withValues
                                    ? "Path,Type,Size,Created,Modified,Accessed,Attributes\r\n"
                                    : "Path,Type,Attributes\r\n");
}

void putCsvDate(RowText& text, uint64_t fileTime, DateStyle dates) {
    text.put(',');
    if (dates == DateStyle::filetime || fileTime > lastIsoFileTime) {
        text.number(fileTime);
    } else if (fileTime != 0) {
        text.isoDate(fileTime);
    }
}

void writeCsvEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    entryPath(table, entry, output.path);
    const std::string& path = output.path;
    RowText text(output, 2 * path.size() + 16 + 5 * numberRoom + 3 * 30);
    text.put('"');
    for (size_t i = 0; i < path.size();) {
        const void* quote = std::memchr(path.data() + i, '"', path.size() - i);
        size_t end = quote == nullptr
                         ? path.size()
                         : static_cast<size_t>(static_cast<const char*>(quote) - path.data()) + 1;
        text.put(path.data() + i, end - i);
        if (quote != nullptr) text.put('"');  // the quote, doubled
        i = end;
    }
    if (entry.kind == EntryKind::folder) {
        text.put("\",folder,");
    } else {
        text.put("\",file,");
    }
    if (const RowValues* values = entry.values) {
        text.number(values->size);
        putCsvDate(text, values->dateCreated, output.dates);
        putCsvDate(text, values->dateModified, output.dates);
        putCsvDate(text, values->dateAccessed, output.dates);
        text.put(',');
    }
    text.number(entryAttributes(entry));
    text.put("\r\n");
    text.finish();
}

}  // namespace

const OutputFormat csvOutput = {"csv", writeCsvHeader, writeCsvEntry};

}  // namespace catadump
