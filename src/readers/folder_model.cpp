#include "readers/folder_model.h"

namespace catadump {

void setFolderCount(FolderTable& table, uint32_t count) {
    table.entries.assign(count, FolderEntry{});
    table.names.names.assign(count, FolderName{});
}

FolderEntry& appendFolder(FolderTable& table) {
    table.names.names.emplace_back();
    return table.entries.emplace_back();
}

} // namespace catadump
