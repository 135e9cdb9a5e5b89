// JSON Lines: one object a line, LF. Strings are escaped as RFC 8259 asks; names are bytes, so a path that
// is not valid UTF-8 shows U+FFFD for each byte that does not fit and carries its exact bytes in
// "path_hex" as well. Dates as in the CSV format, a time of 0 as null.
#include "formats/format_rows.h"

namespace catadump {

namespace {

void writeNoHeader(RowOutput&, ColumnSet) {}

// The length of the well-formed UTF-8 sequence at bytes[at] (RFC 3629: no overlong forms, no surrogates,
// nothing past U+10FFFF), or 0 when there is none.
size_t utf8SequenceAt(const std::string& bytes, size_t at) {
    auto byte = [&](size_t i) { return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u; };
    unsigned lead = byte(at);
    auto continuation = [&](size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
        return byte(i) >= low && byte(i) <= high;
    };
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(at + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(at + 1, low, high) && continuation(at + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(at + 1, low, high) && continuation(at + 2) && continuation(at + 3) ? 4 : 0;
    }
    return 0;
}

// Appends the bytes as a JSON string; false when some were not UTF-8.
bool appendJsonString(std::string& text, const std::string& bytes) {
    static const char hex[] = "0123456789abcdef";
    bool valid = true;
    text += '"';
    for (size_t i = 0; i < bytes.size();) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            size_t length = utf8SequenceAt(bytes, i);
            if (length == 0) {
                text += "\xEF\xBF\xBD";
                valid = false;
                ++i;
            } else {
                text.append(bytes, i, length);
                i += length;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c < 0x20) {
            text += "\\u00";
            text += hex[c >> 4];
            text += hex[c & 15];
        } else {
            text += static_cast<char>(c);
        }
        ++i;
    }
    text += '"';
    return valid;
}

void appendJsonDate(std::string& text, const char* key, uint64_t fileTime, DateStyle dates) {
    text += key;
    if (fileTime == 0) {
        text += "null";
    } else if (dates == DateStyle::filetime || fileTime > lastIsoFileTime) {
        appendNumber(text, fileTime);
    } else {
        text += '"';
        appendIsoDate(text, fileTime);
        text += '"';
    }
}

void writeJsonlEntry(RowOutput& output, FolderTable& table, const Entry& entry) {
    static const char hex[] = "0123456789abcdef";
    entryPath(table, entry, output.path);
    std::string& text = output.text;
    text.assign("{\"path\":");
    bool valid = appendJsonString(text, output.path);
    if (!valid) {
        text += ",\"path_hex\":\"";
        for (char c : output.path) {
            text += hex[static_cast<unsigned char>(c) >> 4];
            text += hex[static_cast<unsigned char>(c) & 15];
        }
        text += '"';
    }
    text += entry.kind == EntryKind::folder ? ",\"type\":\"folder\"" : ",\"type\":\"file\"";
    if (const RowValues* values = entry.values) {
        text += ",\"size\":";
        appendNumber(text, values->size);
        appendJsonDate(text, ",\"created\":", values->dateCreated, output.dates);
        appendJsonDate(text, ",\"modified\":", values->dateModified, output.dates);
        appendJsonDate(text, ",\"accessed\":", values->dateAccessed, output.dates);
    }
    text += ",\"attributes\":";
    appendNumber(text, entryAttributes(entry));
    text += "}\n";
    writeText(output, text);
}

} // namespace

const OutputFormat jsonlOutput = {"jsonl", writeNoHeader, writeJsonlEntry};

} // namespace catadump
