#include "model/entry.h"

namespace catadump {

const char* headerLineText(ColumnSet columns) {
    return columns == ColumnSet::nameAndAttributes
               ? "Filename,Attributes"
               : "Filename,Size,Date Created,Date Modified,Date Accessed,Attributes";
}

}  // namespace catadump
