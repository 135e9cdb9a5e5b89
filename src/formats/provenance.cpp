#include "formats/provenance.h"

#include "formats/format_rows.h"

namespace catadump {

namespace {

constexpr char hexDigits[] = "0123456789abcdef";

// The bytes as a JSON string (RFC 8259); false when some were not UTF-8. The summary is a line per input,
// so this goes a byte at a time, unlike the rows' escaping.
bool appendJsonString(std::string& out, std::string_view bytes) {
    bool valid = true;
    out += '"';
    for (size_t i = 0; i < bytes.size();) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            size_t length = utf8SequenceAt(bytes, i);
            if (length == 0) {
                out += "\\ufffd";
                valid = false;
                ++i;
            } else {
                out.append(bytes.substr(i, length));
                i += length;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            out += "\\u00";
            out += hexDigits[c >> 4];
            out += hexDigits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
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
        out += '"';
        for (unsigned char c : input.path) {
            out += hexDigits[c >> 4];
            out += hexDigits[c & 15];
        }
        out += '"';
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
    out += "}\n";
    return out;
}

}  // namespace catadump
