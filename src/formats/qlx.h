// The rows of the list as it has always been written (.qlx): the header line of each column set, folder
// paths and the text of folder and file rows, written straight into the writer's buffer. Past the budget
// for kept paths, names are written to the output one by one.
#pragma once

#include <cstdint>
#include <string_view>

#include "model/entry.h"
#include "model/folder_table.h"
#include "output/csv_writer.h"

namespace catadump {

void writeHeaderLine(CsvWriter& writer, ColumnSet columns);

// Closes a row of the later versions: "\"," then the five values and CR LF.
void writeValueColumns(CsvWriter& writer, const RowValues& values);

// The visible bytes of the folder's own name.
void writeVisibleName(CsvWriter& writer, FolderNames& names, uint32_t folder);

// The folder's full path: each name from the top folder down to this one, each followed by "\\"; nothing
// for noFolder.
void writeFolderPath(CsvWriter& writer, FolderTable& table, uint32_t folder);

// The opening of a file row: the quote, the path of the parent folder (if any) and the name's visible bytes.
void writeRowOpening(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

// The opening of a folder row: the quote, the path of its parent folder (if any) and its visible name.
void writeFolderRowOpening(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + path + name + "\",16\r\n"
void writeFolderRow(CsvWriter& writer, FolderTable& table, uint32_t folder);

// "\"" + the parent folder's path + name + "\",0\r\n", for the name's visible bytes
void writeFileRow(CsvWriter& writer, FolderTable& table, uint32_t parent, std::string_view shownName);

}  // namespace catadump
