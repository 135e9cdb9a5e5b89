#include "formats/format_rows.h"

namespace catadump {

namespace {

const OutputFormat* const outputFormats[] = {
    &qlxOutput, &csvOutput, &jsonlOutput, &bodyfileOutput,
#if defined(CATADUMP_WITH_SQLITE)
    &sqliteOutput,
#endif
};

} // namespace

const OutputFormat* findOutputFormat(std::string_view name) {
    for (const OutputFormat* format : outputFormats) {
        if (name == format->name) return format;
    }
    return nullptr;
}

const OutputFormat& qlxFormat() { return qlxOutput; }

const char* headerLineText(ColumnSet columns) {
    return columns == ColumnSet::nameAndAttributes
               ? "Filename,Attributes"
               : "Filename,Size,Date Created,Date Modified,Date Accessed,Attributes";
}

} // namespace catadump
