// What the formats share: the table's rows, the dates as text and numbers appended to a row's text.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "formats/output_format.h"
#include "output/number_text.h"

namespace catadump {

extern const OutputFormat qlxOutput;
extern const OutputFormat csvOutput;
extern const OutputFormat jsonlOutput;
extern const OutputFormat bodyfileOutput;
extern const OutputFormat sqliteOutput;  // only in a build with SQLite (CATADUMP_WITH_SQLITE)

// The largest file time that ISO 8601 text can show: 9999-12-31T23:59:59.9999999Z.
inline constexpr uint64_t lastIsoFileTime = 2650467743999999999ull;

// The file time as ISO 8601 UTC to 100 ns, "2021-03-04T05:06:07.1234567Z" (28 bytes at out); only for
// values up to lastIsoFileTime.
void writeIsoDate(char* out, uint64_t fileTime);

// Whole seconds since 1970-01-01 UTC; 0 for a time before then.
uint64_t unixSeconds(uint64_t fileTime);

// The length of the well-formed UTF-8 sequence at bytes[at] (RFC 3629: no overlong forms, no surrogates,
// nothing past U+10FFFF), or 0 when there is none.
size_t utf8SequenceAt(std::string_view bytes, size_t at);

}  // namespace catadump

namespace catadump {

// A row's text written through a cursor: straight into the writer's buffer when the row's longest text
// fits there (every row but those of enormous paths), else into the output's own room first. Nothing is
// checked byte by byte: the caller asks for the room its longest text can take.
struct RowText {
    RowText(RowOutput& to, size_t longest) : output(to) {
        start = longest <= csvBufferSize ? reserveSpace(*to.writer, longest) : nullptr;
        if (start == nullptr) {
            to.text.resize(longest);
            start = to.text.data();
        }
        cursor = start;
    }
    void put(char c) { *cursor++ = c; }
    template <size_t N> void put(const char (&literal)[N]) {
        std::memcpy(cursor, literal, N - 1);
        cursor += N - 1;
    }
    void put(const char* bytes, size_t n) {
        std::memcpy(cursor, bytes, n);
        cursor += n;
    }
    void number(uint64_t value) { cursor = writeDecimal(cursor, value); }
    void isoDate(uint64_t fileTime) {
        writeIsoDate(cursor, fileTime);
        cursor += 28;
    }
    // Hands the text to the writer.
    void finish() {
        auto used = static_cast<size_t>(cursor - start);
        if (start == output.text.data()) {
            writeBytes(*output.writer, start, used);
        } else {
            commitSpace(*output.writer, used);
        }
    }

    RowOutput& output;
    char* start;
    char* cursor;
};

// Whether any byte of the word is b (exact as a whole, if not per byte).
inline uint64_t anyByteIs(uint64_t word, uint8_t b) {
    uint64_t x = word ^ (0x0101010101010101ull * b);
    return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

// Copies bytes from data[at] on to the text, eight at a time, up to the first that may need escaping and
// returns where it is (or where fewer than eight bytes are left). special(word) marks such bytes with
// their top bits; the lowest mark must be exact, as the usual byte tests give it. A word is stored whole
// before its marks are looked at: the row's room allows for the few bytes past the cursor.
template <typename Special>
size_t copyPlain(RowText& text, const char* data, size_t size, size_t at, Special&& special) {
    while (at + 8 <= size) {
        uint64_t word;
        std::memcpy(&word, data + at, 8);
        std::memcpy(text.cursor, &word, 8);
        if (uint64_t marks = special(word); marks != 0) {
            size_t plain = static_cast<size_t>(std::countr_zero(marks)) / 8;
            text.cursor += plain;
            return at + plain;
        }
        text.cursor += 8;
        at += 8;
    }
    return at;
}

// Room for a number: its digits, and the bytes writeDecimal may store past them.
inline constexpr size_t numberRoom = maxDigitsU64 + decimalStoreWidth;

}  // namespace catadump
