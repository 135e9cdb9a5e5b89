#include "formats/provenance.h"

#include <utility>

#include "formats/format_rows.h"

namespace catadump {

namespace {

// The bytes as a JSON string, escaped as the rows' strings are; false when some were not UTF-8.
bool appendJsonString(std::string& out, std::string_view bytes) {
    size_t at = out.size();
    // A byte takes at most six bytes escaped, and the escaping stores whole blocks.
    out.resize(at + 2 + 6 * bytes.size() + ByteBlock::size);
    RowText text(out.data() + at);
    text.put('"');
    bool valid = putJsonChars(text, bytes);
    text.put('"');
    out.resize(static_cast<size_t>(text.cursor - out.data()));
    return valid;
}

void appendKey(std::string& out, const char* key) {
    out += out.size() > 1 ? ",\"" : "\"";
    out += key;
    out += "\":";
}

}  // namespace

std::string versionLabel(uint32_t version) {
    return std::to_string(version >> 24) + "." + std::to_string((version >> 16) & 0xFF) + "." +
           std::to_string(version & 0xFFFF);
}

std::string summaryLine(const Provenance& input) {
    std::string out = "{";
    appendKey(out, "path");
    bool pathValid = appendJsonString(out, input.path);
    if (!pathValid) {
        appendKey(out, "path_hex");
        size_t at = out.size();
        out.resize(at + 2 + 2 * input.path.size());
        RowText text(out.data() + at);
        text.put('"');
        putHex(text, input.path);
        text.put('"');
    }
    appendKey(out, "size");
    out += std::to_string(input.size);
    appendKey(out, "sha256");
    if (input.sha256.empty()) {
        out += "null";
    } else {
        appendJsonString(out, input.sha256);
    }
    appendKey(out, "mtime");
    if (input.hasModified && input.modified <= lastIsoFileTime) {
        char date[28];
        writeIsoDate(date, input.modified);
        appendJsonString(out, std::string_view(date, sizeof date));
    } else {
        out += "null";
    }
    appendKey(out, "version");
    if (input.versionKnown) {
        appendJsonString(out, versionLabel(input.version));
    } else {
        out += "null";
    }
    appendKey(out, "header");
    if (input.versionKnown) {
        appendJsonString(out, headerLineText(input.columns));
    } else {
        out += "null";
    }
    appendKey(out, "rows");
    out += std::to_string(input.rows);
    appendKey(out, "read_error");
    out += input.readError ? "true" : "false";
    appendKey(out, "corrupt");
    out += input.corrupt ? "true" : "false";
    appendKey(out, "fatal");
    if (input.fatal.empty()) {
        out += "null";
    } else {
        appendJsonString(out, input.fatal);
    }
    appendKey(out, "status");
    out += std::to_string(input.status);
    appendKey(out, "console");
    appendJsonString(out, input.console);
    appendKey(out, "dates_out_of_range");
    out += std::to_string(input.datesOutOfRange);
    if (input.recover) {
        const std::pair<const char*, uint64_t> totals[] = {{"rows_intact", input.recovery.intact},
                                                           {"rows_recovered", input.recovery.recovered},
                                                           {"rows_partial", input.recovery.partial},
                                                           {"gaps", input.recovery.gaps}};
        for (const auto& [key, count] : totals) {
            appendKey(out, key);
            out += std::to_string(count);
        }
    }
    out += "}\n";
    return out;
}

}  // namespace catadump
