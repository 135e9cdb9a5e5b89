#include "model/folder_table.h"

#include "model/large_tables.h"

namespace catadump {

void setFolderCount(FolderTable& table, uint32_t count) {
    assignLargeTable(table.entries, count, FolderEntry{});
    assignLargeTable(table.names.names, count, FolderName{});
}

FolderEntry& appendFolder(FolderTable& table) {
    table.names.names.emplace_back();
    return table.entries.emplace_back();
}

}  // namespace catadump
