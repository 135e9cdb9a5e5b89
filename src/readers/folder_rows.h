// The rows of the output: the header line of each column set, folder paths and the text of folder and file
// rows. Each path is built once within a memory budget and kept; past the budget, names are written
// straight to the output.
#pragma once

#include <cstdint>
#include <string_view>

#include "readers/folder_graph.h"
#include "stream/csv_writer.h"

namespace catadump {

// ---- The two column sets ----

// Versions up to 1.7.8 write the name and the attributes; later ones the name and five value columns.
enum class ColumnSet { nameAndAttributes, withValues };

void writeHeaderLine(CsvWriter& writer, ColumnSet columns);

// The five value columns of the later versions.
struct RowValues {
    uint64_t size = 0;
    uint64_t dateCreated = 0;
    uint64_t dateModified = 0;
    uint64_t dateAccessed = 0;
    uint32_t attributes = 0;
};

// Closes a row of the later versions: "\"," then the five values and CR LF.
void writeValueColumns(CsvWriter& writer, const RowValues& values);

// ---- Paths and rows ----

// Appends the folder's full path: each name from the top folder down to this one, each followed by "\\";
// nothing for noFolder.
void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + path + name + "\",16\r\n"
void writeFolderRow(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + the parent folder's path + name + "\",0\r\n", for the name's visible bytes
void writeFileRow(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

// The two-column folder rows, as forEachFolderToWrite chooses them.
void writeFolderRows(CsvWriter& writer, FolderTable& table, uint32_t complete, bool allRead);

// The opening of a file row: the quote, the path of the parent folder (if any) and the name's visible bytes.
void writeRowOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

// The opening of a folder row: the quote, the path of its parent folder (if any) and its visible name.
void writeFolderRowOpening(CsvWriter& writer, FolderTable& table, uint32_t folder);

} // namespace catadump
