// The list as it has always been written (.qlx): every path in quotes, nothing escaped inside them, the
// stored numbers as they are, CR LF. The fast path: kept paths are copied straight into the writer's
// buffer and the numbers formatted there.
#include "formats/format_rows.h"
#include "readers/folder_rows.h"

namespace catadump {

namespace {

void writeQlxHeader(RowOutput& output, ColumnSet columns) { writeHeaderLine(*output.writer, columns); }

void writeQlxEntry(RowOutput& output, FolderTable& table, const Entry& entry) {
    CsvWriter& writer = *output.writer;
    bool folder = entry.kind == EntryKind::folder;
    if (entry.values == nullptr) {
        // The versions without values: the rows of the two-column list.
        if (folder) {
            writeFolderRow(writer, table, entry.folder);
        } else {
            writeFileRow(writer, table, entry.folder, entry.name);
        }
        return;
    }
    if (folder) {
        writeFolderRowOpening(writer, table, entry.folder);
    } else {
        writeRowOpening(writer, table, entry.folder, entry.name);
    }
    writeValueColumns(writer, *entry.values);
}

} // namespace

const OutputFormat qlxOutput = {"qlx", writeQlxHeader, writeQlxEntry};

} // namespace catadump
