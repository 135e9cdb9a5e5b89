#include "formats/format_rows.h"

namespace catadump {

namespace {

const OutputFormat* const outputFormats[] = {
    &qlxOutput,    &csvOutput, &jsonlOutput, &bodyfileOutput, &timelineOutput,
#if defined(CATADUMP_WITH_SQLITE)
    &sqliteOutput,
#endif
};

}  // namespace

const OutputFormat* findOutputFormat(std::string_view name) {
    for (const OutputFormat* format : outputFormats) {
        if (name == format->name) return format;
    }
    return nullptr;
}

const OutputFormat& qlxFormat() { return qlxOutput; }

namespace {

void writeFormatHeader(EntrySink& sink, uint32_t version, ColumnSet columns) {
    RowOutput& output = rowOutput(sink);
    output.version = version;
    output.columns = columns;
    output.headerSeen = true;
    output.keptFolder = noFolder;  // a folder kept from another database's table is none of this one's
    output.sourceText.clear();     // made anew by the format for this database's source
    output.format->writeHeader(output, columns);
}

void writeFilteredEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    if (keepsEntry(output.filter, entry)) {
        output.format->writeEntry(sink, table, entry);
    } else {
        ++output.entriesLeftOut;
    }
}

}  // namespace

void bindFormat(RowOutput& output, const OutputFormat& format) {
    output.format = &format;
    output.header = writeFormatHeader;
    // Without a filter the reader calls the format itself, with nothing in between.
    output.entry = filterActive(output.filter) ? writeFilteredEntry : format.writeEntry;
}

}  // namespace catadump
