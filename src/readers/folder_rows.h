// Folder paths and the text of folder and file rows: each path is built once within a memory budget and
// kept; past the budget, names are written straight to the output.
#pragma once

#include <cstdint>
#include <string_view>

#include "readers/folder_graph.h"
#include "stream/csv_writer.h"

namespace catadump {

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
