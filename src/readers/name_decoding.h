// Front-coded names as the records store them: each name keeps some bytes of the name before it in the
// same list and adds a suffix.
#pragma once

#include "input/database_stream.h"
#include "model/folder_names.h"

namespace catadump {

enum class NameList { folders, files };
enum class CountWidth { compact, byte };  // 1.7 family: compact counts; 1.6 family: single bytes

// Decodes the next name of the list into state. False after an invalid strip count: the message has
// been printed and the corrupt flag raised.
bool decodeFrontCodedName(DatabaseStream& stream, NameState& state, NameList list, CountWidth width);

}  // namespace catadump
