// CSV as RFC 4180 has it: the path always quoted with each quote doubled, a type column, the value columns
// the version has, CR LF. Dates as ISO 8601 UTC to 100 ns (empty for a time of 0, the number for one past
// the year 9999), or as their file-time numbers. In a list of many databases, a first column holds each
// row's source, quoted as the path is, under one header of every column (sourceHeader): the rows of the
// versions without values leave the value columns empty. In a run that recovers, a last column holds each
// row's status.
#include "formats/format_rows.h"
#include "model/paths.h"

namespace catadump {

namespace {

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

void writeCsvHeader(RowOutput& output, ColumnSet columns) {
    // With the source, many databases share the list and its one header (sourceHeader), which whoever
    // makes the list writes: each database's header only makes the text of its source.
    if (output.withSource) {
        makeSourceText(output, 2 * output.source.size() + 3, [](RowText& text, std::string_view source) {
            text.put('"');
            putCsvChars(text, source);
            text.put("\",");
        });
        return;
    }
    if (output.recover) {
        writeString(*output.writer, columns == ColumnSet::withValues
                                        ? "Path,Type,Size,Created,Modified,Accessed,Attributes,Status\r\n"
                                        : "Path,Type,Attributes,Status\r\n");
        return;
    }
    writeString(*output.writer, columns == ColumnSet::withValues
                                    ? "Path,Type,Size,Created,Modified,Accessed,Attributes\r\n"
                                    : "Path,Type,Attributes\r\n");
}

void writeCsvEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    RowPath path = rowPath(output, table, entry);
    size_t keptSize = path.kept ? output.keptText.size() : 0;
    RowText text(output, output.sourceText.size() + keptSize + 2 * (path.folder.size() + path.name.size()) +
                             16 + 5 * numberRoom + 3 * 30 + statusRoom(output));
    putSourceText(text, output);
    text.put('"');
    putFolderPart(text, output, entry, path, [](RowText& to, std::string_view bytes) {
        putCsvChars(to, bytes);
        return true;
    });
    putCsvChars(text, path.name);
    if (path.file) {
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
    } else if (output.withSource) {
        text.put(",,,,");  // the shared header has the value columns
    }
    text.number(entryAttributes(entry));
    if (output.recover) {
        text.put(',');
        putStatus(text, entry.status);
    }
    text.put("\r\n");
    text.finish();
}

}  // namespace

const OutputFormat csvOutput = {
    .name = "csv",
    .writeHeader = writeCsvHeader,
    .writeEntry = writeCsvEntry,
    .sourceHeader = "Source,Path,Type,Size,Created,Modified,Accessed,Attributes\r\n",
    .sourceHeaderWithStatus = "Source,Path,Type,Size,Created,Modified,Accessed,Attributes,Status\r\n"};

}  // namespace catadump
