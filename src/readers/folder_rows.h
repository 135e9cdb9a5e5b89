// The rows of the output: the header line of each column set, folder paths and the text of folder and file
// rows. Each path is built once within a memory budget and kept; past the budget, names are written
// straight to the output.
#pragma once

#include <cstdint>
#include <string_view>

#include <string>

#include "formats/entry.h"
#include "readers/folder_graph.h"
#include "stream/csv_writer.h"

namespace catadump {

// ---- The list's header lines and value columns ----

void writeHeaderLine(CsvWriter& writer, ColumnSet columns);

// Closes a row of the later versions: "\"," then the five values and CR LF.
void writeValueColumns(CsvWriter& writer, const RowValues& values);

// ---- Paths and rows ----

// Appends the folder's full path: each name from the top folder down to this one, each followed by "\\";
// nothing for noFolder.
void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder);
void appendFolderPath(std::string& out, FolderTable& table, uint32_t folder);
void appendVisibleName(std::string& out, const FolderTable& table, uint32_t folder);

// "\"" + path + name + "\",16\r\n"
void writeFolderRow(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + the parent folder's path + name + "\",0\r\n", for the name's visible bytes
void writeFileRow(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

// The folder records of the versions without values, as forEachFolderToWrite chooses them.
void writeFolderEntries(RowOutput& output, FolderTable& table, uint32_t complete, bool allRead);

// The opening of a file row: the quote, the path of the parent folder (if any) and the name's visible bytes.
void writeRowOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

// The opening of a folder row: the quote, the path of its parent folder (if any) and its visible name.
void writeFolderRowOpening(CsvWriter& writer, FolderTable& table, uint32_t folder);

} // namespace catadump
