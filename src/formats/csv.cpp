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

// The bytes with each quote doubled.
void putCsvChars(RowText& text, std::string_view bytes) {
    auto quotes = [](const ByteBlock& block) { return block.equal('"'); };
    for (size_t i = copyPlain(text, bytes.data(), bytes.size(), 0, quotes); i < bytes.size();
         i = copyPlain(text, bytes.data(), bytes.size(), i + 1, quotes)) {
        text.put("\"\"");
    }
}

void writeCsvEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    // A file's folder part is quoted once while files of that folder follow one another, as they do.
    bool file = entry.kind == EntryKind::file;
    bool kept = file && entry.folder == output.keptFolder && entry.folder != noFolder;
    std::string_view folderPart;
    if (!file) {
        entryPath(table, entry, output.path);
        folderPart = output.path;
    } else if (!kept) {
        folderPart = folderPathText(table, entry.folder, output.path);
    }
    std::string_view name = file ? entry.name : std::string_view();
    size_t keptSize = kept ? output.keptText.size() : 0;
    RowText text(output, keptSize + 2 * (folderPart.size() + name.size()) + 16 + 5 * numberRoom + 3 * 30);
    text.put('"');
    if (kept) {
        text.put(output.keptText.data(), keptSize);
    } else {
        char* mark = text.cursor;
        putCsvChars(text, folderPart);
        if (file) {
            output.keptFolder = entry.folder;
            output.keptText.assign(mark, text.cursor);
        }
    }
    putCsvChars(text, name);
    if (file) {
        text.put("\",file,");
    } else {
        text.put("\",folder,");
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
