// The body file of The Sleuth Kit 3.x, which mactime and the timeline tools that follow it read:
// MD5|name|inode|mode_as_string|UID|GID|size|atime|mtime|ctime|crtime, LF. The database holds no change
// time, so ctime is 0; times are whole Unix seconds, 0 before 1970 or where the version has none. In names,
// '%', '|', CR and LF are written as %25, %7C, %0D and %0A, which mactime decodes back.
#include "formats/format_rows.h"

namespace catadump {

namespace {

void writeNoHeader(RowOutput&, ColumnSet) {}

void writeBodyfileEntry(RowOutput& output, FolderTable& table, const Entry& entry) {
    entryPath(table, entry, output.path);
    std::string& text = output.text;
    text.assign("0|");
    for (char c : output.path) {
        switch (c) {
        case '%': text += "%25"; break;
        case '|': text += "%7C"; break;
        case '\r': text += "%0D"; break;
        case '\n': text += "%0A"; break;
        default: text += c;
        }
    }
    text += entry.kind == EntryKind::folder ? "|0|d/drwxrwxrwx|0|0|" : "|0|r/rrwxrwxrwx|0|0|";
    RowValues none;
    const RowValues& values = entry.values != nullptr ? *entry.values : none;
    appendNumber(text, values.size);
    for (uint64_t time : {values.dateAccessed, values.dateModified, uint64_t{0}, values.dateCreated}) {
        text += '|';
        appendNumber(text, unixSeconds(time));
    }
    text += '\n';
    writeText(output, text);
}

} // namespace

const OutputFormat bodyfileOutput = {"bodyfile", writeNoHeader, writeBodyfileEntry};

} // namespace catadump
