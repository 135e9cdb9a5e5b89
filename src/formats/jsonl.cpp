// JSON Lines: one object a line, LF. Strings are escaped as RFC 8259 asks; names are bytes, so a path that
// is not valid UTF-8 shows U+FFFD for each byte that does not fit and carries its exact bytes in
// "path_hex" as well. Dates as in the CSV format, a time of 0 as null. In a list of many databases, each
// row's first key is its "source", escaped as paths are; in a run that recovers, its last key its "status".
#include "formats/format_rows.h"

#include <array>
#include <string_view>

#include "model/paths.h"

namespace catadump {

size_t utf8SequenceAt(std::string_view bytes, size_t at) {
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

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

}  // namespace

bool putJsonChars(RowText& text, std::string_view bytes) {
    bool valid = true;
    const size_t size = bytes.size();
    // Bytes to look at one by one: 8-bit, control characters, the quote and the backslash.
    auto special = [](const ByteBlock& block) {
        return block.controlOr8Bit() | block.equal('"') | block.equal('\\');
    };
    for (size_t i = 0; i < size;) {
        i = copyPlain(text, bytes.data(), size, i, special);
        if (i == size) break;
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            text.put(static_cast<char>(c));
            ++i;
            continue;
        }
        if (c >= 0x80) {
            size_t length = utf8SequenceAt(bytes, i);
            if (length == 0) {
                text.put("\xEF\xBF\xBD");
                valid = false;
                ++i;
            } else {
                text.put(bytes.data() + i, length);
                i += length;
            }
            continue;
        }
        text.put('\\');
        if (c == '"' || c == '\\') {
            text.put(static_cast<char>(c));
        } else if (c == '\n') {
            text.put('n');
        } else if (c == '\r') {
            text.put('r');
        } else if (c == '\t') {
            text.put('t');
        } else {
            text.put("u00");
            text.put(hexDigits[c >> 4]);
            text.put(hexDigits[c & 15]);
        }
        ++i;
    }
    return valid;
}

namespace {

template <size_t N>
void putJsonDate(RowText& text, const char (&key)[N], uint64_t fileTime, DateStyle dates) {
    text.put(key);
    if (fileTime == 0) {
        text.put("null");
    } else if (dates == DateStyle::filetime || fileTime > lastIsoFileTime) {
        text.number(fileTime);
    } else {
        text.put('"');
        text.isoDate(fileTime);
        text.put('"');
    }
}

// The two hex digits of each byte value, one load a byte.
constexpr auto hexPairs = [] {
    std::array<char, 512> pairs{};
    for (size_t b = 0; b < 256; ++b) {
        pairs[2 * b] = hexDigits[b >> 4];
        pairs[2 * b + 1] = hexDigits[b & 15];
    }
    return pairs;
}();

}  // namespace

void putHex(RowText& text, std::string_view bytes) {
    for (char c : bytes) text.put(hexPairs.data() + 2 * static_cast<unsigned char>(c), 2);
}

void putPathHex(RowText& text, RowOutput& output, FolderTable& table, const Entry& entry,
                const RowPath& path) {
    std::string_view folder = path.kept ? folderPathText(table, entry.folder, output.path) : path.folder;
    text.put(",\"path_hex\":\"");
    putHex(text, folder);
    putHex(text, path.name);
    text.put('"');
}

void makeJsonSourceText(RowOutput& output) {
    makeSourceText(output, 8 * output.source.size() + 40, [](RowText& text, std::string_view source) {
        text.put("\"source\":\"");
        bool valid = putJsonChars(text, source);
        text.put("\",");
        if (!valid) {
            text.put("\"source_hex\":\"");
            putHex(text, source);
            text.put("\",");
        }
    });
}

namespace {

void writeJsonlHeader(RowOutput& output, ColumnSet) {
    if (output.withSource) makeJsonSourceText(output);
}

void writeJsonlEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    RowOutput& output = rowOutput(sink);
    // UTF-8 cannot run across the backslash between a file's folder part and its name, so each part
    // escapes on its own as it would within the whole path.
    RowPath path = rowPath(output, table, entry);
    // A byte takes at most six bytes escaped (\u00XX) and two more in "path_hex"; a kept folder part is
    // no shorter escaped than it is, and twice as long in hex.
    size_t keptSize = path.kept ? 3 * output.keptText.size() : 0;
    RowText text(output, output.sourceText.size() + keptSize + 8 * (path.folder.size() + path.name.size()) +
                             200 + 4 * numberRoom + 3 * 32 + statusRoom(output));
    text.put('{');
    putSourceText(text, output);
    text.put("\"path\":\"");
    bool valid = putFolderPart(text, output, entry, path, putJsonChars);
    valid = putJsonChars(text, path.name) && valid;
    text.put('"');
    if (!valid) putPathHex(text, output, table, entry, path);
    if (entry.kind == EntryKind::folder) {
        text.put(",\"type\":\"folder\"");
    } else {
        text.put(",\"type\":\"file\"");
    }
    if (const RowValues* values = entry.values) {
        text.put(",\"size\":");
        text.number(values->size);
        putJsonDate(text, ",\"created\":", values->dateCreated, output.dates);
        putJsonDate(text, ",\"modified\":", values->dateModified, output.dates);
        putJsonDate(text, ",\"accessed\":", values->dateAccessed, output.dates);
    }
    text.put(",\"attributes\":");
    text.number(entryAttributes(entry));
    if (output.recover) {
        text.put(",\"status\":\"");
        putStatus(text, entry.status);
        text.put('"');
    }
    text.put("}\n");
    text.finish();
}

}  // namespace

const OutputFormat jsonlOutput = {"jsonl", writeJsonlHeader, writeJsonlEntry};

}  // namespace catadump
