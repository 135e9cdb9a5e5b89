// The body file of The Sleuth Kit 3.x, which mactime and the timeline tools that follow it read:
// MD5|name|inode|mode_as_string|UID|GID|size|atime|mtime|ctime|crtime, LF. The database holds no change
// time, so ctime is 0; times are whole Unix seconds, 0 before 1970 or where the version has none. In names,
// '%', '|', CR and LF are written as %25, %7C, %0D and %0A, which mactime decodes back. In a list of many
// databases, the name is the database's source, ':' and the path. In a run that recovers, the name of a row
// that is not intact ends in " (recovered)" or " (partial)".
#include "formats/format_rows.h"
#include "model/paths.h"

namespace catadump {

namespace {

// The bytes with '%', '|', CR and LF written as their %XX forms.
void putBodyfileChars(RowText& text, std::string_view bytes) {
    auto special = [](const ByteBlock& block) {
        return block.equal('%') | block.equal('|') | block.equal('\r') | block.equal('\n');
    };
    for (size_t i = copyPlain(text, bytes.data(), bytes.size(), 0, special); i < bytes.size();
         i = copyPlain(text, bytes.data(), bytes.size(), i + 1, special)) {
        switch (char c = bytes[i]) {
        case '%':
            text.put("%25");
            break;
        case '|':
            text.put("%7C");
            break;
        case '\r':
            text.put("%0D");
            break;
        case '\n':
            text.put("%0A");
            break;
        default:
            text.put(c);
        }
    }
}

void writeBodyfileHeader(RowOutput& output, ColumnSet) {
    if (!output.withSource) return;
    makeSourceText(output, 3 * output.source.size() + 1, [](RowText& text, std::string_view source) {
        putBodyfileChars(text, source);
        text.put(':');
    });
}

void writeBodyfileEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    RowPath path = rowPath(output, table, entry);
    size_t keptSize = path.kept ? output.keptText.size() : 0;
    RowText text(output, output.sourceText.size() + keptSize + 3 * (path.folder.size() + path.name.size()) +
                             40 + 5 * numberRoom + statusRoom(output));
    text.put("0|");
    putSourceText(text, output);
    putFolderPart(text, output, entry, path, [](RowText& to, std::string_view bytes) {
        putBodyfileChars(to, bytes);
        return true;
    });
    putBodyfileChars(text, path.name);
    if (output.recover && entry.status != EntryStatus::intact) {
        text.put(" (");
        putStatus(text, entry.status);
        text.put(')');
    }
    if (path.file) {
        text.put("|0|r/rrwxrwxrwx|0|0|");
    } else {
        text.put("|0|d/drwxrwxrwx|0|0|");
    }
    RowValues none;
    const RowValues& values = entry.values != nullptr ? *entry.values : none;
    text.number(values.size);
    for (uint64_t time : {values.dateAccessed, values.dateModified, uint64_t{0}, values.dateCreated}) {
        text.put('|');
        text.number(unixSeconds(time));
    }
    text.put('\n');
    text.finish();
}

}  // namespace

const OutputFormat bodyfileOutput = {"bodyfile", writeBodyfileHeader, writeBodyfileEntry};

}  // namespace catadump
