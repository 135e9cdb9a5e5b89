// Tables with an element per folder run to tens of megabytes on big databases and are filled once, front
// to back. They are set up here so that the system can back them with large pages (platform.h).
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace catadump {

// Makes `table` `count` copies of `value`, in memory of its own that is advised before it is first touched.
template <class T> void assignLargeTable(std::vector<T>& table, size_t count, const T& value) {
    std::vector<T>().swap(table);
    table.reserve(count);
    platform::adviseLargePages(table.data(), count * sizeof(T));
    table.assign(count, value);
}

}  // namespace catadump
