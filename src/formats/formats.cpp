#include "formats/format_rows.h"

namespace catadump {

namespace {

const OutputFormat* const outputFormats[] = {
    &qlxOutput,    &csvOutput, &jsonlOutput, &bodyfileOutput,
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
    output.format->writeHeader(output, columns);
}

}  // namespace

void bindFormat(RowOutput& output, const OutputFormat& format) {
    output.format = &format;
    output.header = writeFormatHeader;
    output.entry = format.writeEntry;
}

}  // namespace catadump
