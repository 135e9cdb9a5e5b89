#include "catagen/expected_csv.h"

#include <charconv>

namespace catagen {

namespace {

void putNumber(ByteSink& sink, uint64_t value) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, value);
    putBytes(sink, text, static_cast<size_t>(result.ptr - text));
}

// The five value columns of 1.7.17/1.7.20: a value the flags word does not store prints as 0, except a
// folder's attributes, which print as 16.
void putValueColumns(ByteSink& sink, uint32_t flags, const Values& values, bool isFolder) {
    const uint32_t sizeBit = isFolder ? 0x20 : 0x01;
    putText(sink, "\",");
    putNumber(sink, (flags & sizeBit) ? values.size : 0);
    putU8(sink, ',');
    putNumber(sink, (flags & 0x02) ? values.created : 0);
    putU8(sink, ',');
    putNumber(sink, (flags & 0x04) ? values.modified : 0);
    putU8(sink, ',');
    putNumber(sink, (flags & 0x08) ? values.accessed : 0);
    putU8(sink, ',');
    putNumber(sink, (flags & 0x10) ? values.attributes : (isFolder ? 16 : 0));
    putText(sink, "\r\n");
}

void putRowEnd(ByteSink& sink, Version version, uint32_t flags, const Values& values, bool isFolder) {
    if (hasValueColumns(version))
        putValueColumns(sink, flags, values, isFolder);
    else
        putText(sink, isFolder ? "\",16\r\n" : "\",0\r\n");
}

}  // namespace

void writeExpectedCsv(const Tree& tree, Version version, ByteSink& sink) {
    const uint32_t flags = tree.settings.flags;
    putText(sink, versionInfo(version).csvHeader);
    std::vector<std::string> paths = folderPaths(tree, version == Version::v1_6_7);
    for (size_t i = 0; i < tree.folders.size(); ++i) {
        putU8(sink, '"');
        putText(sink, paths[i]);
        putRowEnd(sink, version, flags, tree.folders[i].values, true);
    }
    forEachFile(tree, [&](const Entry& file) {
        putU8(sink, '"');
        if (file.parentFolder != kNoFolder) {
            putText(sink, paths[file.parentFolder]);
            putU8(sink, '\\');
        }
        putText(sink, file.name);
        putRowEnd(sink, version, flags, file.values, false);
        return true;
    });
    flush(sink);
}

std::string expectedCsv(const Tree& tree, Version version) {
    std::string out;
    ByteSink sink = makeSink(stringDrain(out), size_t{1} << 16);
    writeExpectedCsv(tree, version, sink);
    return out;
}

}  // namespace catagen
