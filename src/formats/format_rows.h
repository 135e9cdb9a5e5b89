// What the formats share: the table's rows, the dates as text and numbers appended to a row's text.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "formats/output_format.h"
#include "model/paths.h"
#include "output/number_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace catadump {

extern const OutputFormat qlxOutput;
extern const OutputFormat csvOutput;
extern const OutputFormat jsonlOutput;
extern const OutputFormat bodyfileOutput;
extern const OutputFormat timelineOutput;
extern const OutputFormat sqliteOutput;  // only in a build with SQLite (CATADUMP_WITH_SQLITE)

// The largest file time that ISO 8601 text can show: 9999-12-31T23:59:59.9999999Z.
inline constexpr uint64_t lastIsoFileTime = 2650467743999999999ull;

// The file time as ISO 8601 UTC to 100 ns, "2021-03-04T05:06:07.1234567Z" (28 bytes at out); only for
// values up to lastIsoFileTime.
void writeIsoDate(char* out, uint64_t fileTime);

// Whole seconds since 1970-01-01 UTC; 0 for a time before then.
inline uint64_t unixSeconds(uint64_t fileTime) {
    constexpr uint64_t unixEpochTicks = 116444736000000000ull;  // 1970-01-01 as a file time
    return fileTime < unixEpochTicks ? 0 : (fileTime - unixEpochTicks) / 10000000;
}

// The length of the well-formed UTF-8 sequence at bytes[at] (RFC 3629: no overlong forms, no surrogates,
// nothing past U+10FFFF), or 0 when there is none.
size_t utf8SequenceAt(std::string_view bytes, size_t at);

}  // namespace catadump

namespace catadump {

// A row's text written through a cursor: straight into the writer's buffer when the row's longest text
// fits there (every row but those of enormous paths), else into the output's own room first. Nothing is
// checked byte by byte: the caller asks for the room its longest text can take.
struct RowText {
    RowText(RowOutput& to, size_t longest) : output(&to) {
        start = longest <= csvBufferSize ? reserveSpace(*to.writer, longest) : nullptr;
        if (start == nullptr) {
            to.text.resize(longest);
            start = to.text.data();
        }
        cursor = start;
    }
    // Text written into `room` rather than the writer (and never finished): text made once and copied
    // into many rows.
    explicit RowText(char* room) : start(room), cursor(room) {}
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
        if (start == output->text.data()) {
            writeBytes(*output->writer, start, used);
        } else {
            commitSpace(*output->writer, used);
        }
    }

    RowOutput* output = nullptr;  // none for text written into `room`
    char* start;
    char* cursor;
};

// Whether any byte of the word is b (exact as a whole, if not per byte).
inline uint64_t anyByteIs(uint64_t word, uint8_t b) {
    uint64_t x = word ^ (0x0101010101010101ull * b);
    return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

// A block of a text's bytes looked at together for the bytes that need escaping: sixteen with SSE2, with
// one mark bit a byte, else eight in a word, marked by their top bits (the lowest mark exact, as the
// usual byte tests give it).
struct ByteBlock {
#if defined(__SSE2__)
    static constexpr size_t size = 16;
    __m128i bytes;

    static ByteBlock load(const char* from) {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(from))};
    }
    void store(char* to) const { _mm_storeu_si128(reinterpret_cast<__m128i*>(to), bytes); }
    uint32_t equal(char c) const {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
    }
    // Control characters and 8-bit bytes.
    uint32_t controlOr8Bit() const {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20))));
    }
    static size_t firstMarked(uint32_t marks) { return static_cast<size_t>(std::countr_zero(marks)); }
#else
    static constexpr size_t size = 8;
    uint64_t bytes;

    static ByteBlock load(const char* from) {
        ByteBlock block;
        std::memcpy(&block.bytes, from, 8);
        return block;
    }
    void store(char* to) const { std::memcpy(to, &bytes, 8); }
    uint64_t equal(char c) const { return anyByteIs(bytes, static_cast<uint8_t>(c)); }
    uint64_t controlOr8Bit() const {
        return (bytes & 0x8080808080808080ull) |
               ((bytes - 0x2020202020202020ull) & ~bytes & 0x8080808080808080ull);
    }
    static size_t firstMarked(uint64_t marks) { return static_cast<size_t>(std::countr_zero(marks)) / 8; }
#endif
};

// Copies bytes from data[at] on to the text, a block at a time, up to the first that may need escaping and
// returns where it is (size when there is none). special(block) marks such bytes. A block is stored whole
// before its marks are looked at: the row's room allows for a block's bytes past the cursor.
template <typename Special>
size_t copyPlain(RowText& text, const char* data, size_t size, size_t at, Special&& special) {
    while (at + ByteBlock::size <= size) {
        ByteBlock block = ByteBlock::load(data + at);
        block.store(text.cursor);
        if (auto marks = special(block); marks != 0) {
            size_t plain = ByteBlock::firstMarked(marks);
            text.cursor += plain;
            return at + plain;
        }
        text.cursor += ByteBlock::size;
        at += ByteBlock::size;
    }
    if (at == size) return at;
    // The last bytes, fewer than a block, through a block of their own: no load reaches past the data.
    char last[ByteBlock::size] = {};
    size_t left = size - at;
    std::memcpy(last, data + at, left);
    ByteBlock block = ByteBlock::load(last);
    block.store(text.cursor);
    size_t plain = std::min(ByteBlock::firstMarked(special(block)), left);  // none marked: past the block
    text.cursor += plain;
    return at + plain;
}

// The folder part of a file's path: the kept path of its folder or, past the budget for kept paths, the
// path put together in `room`.
inline std::string_view folderPathText(FolderTable& table, uint32_t folder, std::string& room) {
    if (std::optional<std::string_view> path = builtFolderPath(table, folder)) return *path;
    room.clear();
    appendFolderPath(room, table, folder);
    return room;
}

// A row's path in the two parts a format escapes: a folder's whole path, or a file's folder part and name.
// While files of one folder follow one another, as they do, the escaped folder part of the first is kept
// (RowOutput::keptText) and copied for the others: `kept` says so, and `folder` is then empty.
struct RowPath {
    bool file = false;
    bool kept = false;
    std::string_view folder;
    std::string_view name;  // empty for a folder
};

inline RowPath rowPath(RowOutput& output, FolderTable& table, const Entry& entry) {
    RowPath path;
    path.file = entry.kind == EntryKind::file;
    if (!path.file) {
        entryPath(table, entry, output.path);
        path.folder = output.path;
        return path;
    }
    path.kept = entry.folder == output.keptFolder && entry.folder != noFolder;
    if (!path.kept) path.folder = folderPathText(table, entry.folder, output.path);
    path.name = entry.name;
    return path;
}

// Puts the folder part escaped by escape(text, bytes), or the kept text; a file's escaped folder part is
// kept for the files after it. `escape` returns a flag that is kept with the text (jsonl's "valid UTF-8"),
// which this returns.
template <typename Escape>
bool putFolderPart(RowText& text, RowOutput& output, const Entry& entry, const RowPath& path,
                   Escape&& escape) {
    if (path.kept) {
        text.put(output.keptText.data(), output.keptText.size());
        return output.keptFlag;
    }
    char* mark = text.cursor;
    bool flag = escape(text, path.folder);
    if (path.file) {
        output.keptFolder = entry.folder;
        output.keptText.assign(mark, text.cursor);
        output.keptFlag = flag;
    }
    return flag;
}

// Room for a number: its digits, and the bytes writeDecimal may store past them.
inline constexpr size_t numberRoom = maxDigitsU64 + decimalStoreWidth;

// Room for a row's status in a run that recovers (RowOutput::recover), as the longest of the formats puts it:
// ,"status":"recovered".
inline size_t statusRoom(const RowOutput& output) { return output.recover ? 24 : 0; }

// Puts the status as its word: intact, recovered or partial.
inline void putStatus(RowText& text, EntryStatus status) {
    // Every row of a recovering run has one: each word a copy of known length, with no call to make.
    switch (status) {
    case EntryStatus::recovered:
        text.put("recovered");
        return;
    case EntryStatus::partial:
        text.put("partial");
        return;
    case EntryStatus::intact:
        break;
    }
    text.put("intact");
}

// Makes the output's sourceText with put(text, source), in at most `longest` bytes: the source escaped
// once per database, then copied into each of its rows.
template <typename Put> void makeSourceText(RowOutput& output, size_t longest, Put&& put) {
    output.sourceText.resize(longest + ByteBlock::size);  // copyPlain stores whole blocks
    RowText text(output.sourceText.data());
    put(text, std::string_view(output.source));
    output.sourceText.resize(static_cast<size_t>(text.cursor - text.start));
}

// Puts the row's source text, where rows have one: a branch that the rows of a single database never take.
inline void putSourceText(RowText& text, const RowOutput& output) {
    if (!output.sourceText.empty()) text.put(output.sourceText.data(), output.sourceText.size());
}

// JSON strings (jsonl.cpp), which the timeline writes too: putJsonChars puts the bytes escaped and returns
// false when some were not UTF-8 (shown as U+FFFD); putHex puts each byte as two hex digits, for the
// exact bytes beside such a string ("path_hex").
bool putJsonChars(RowText& text, std::string_view bytes);
void putHex(RowText& text, std::string_view bytes);
// Puts ,"path_hex":"..." with the row's whole path, for a path that is not UTF-8.
void putPathHex(RowText& text, RowOutput& output, FolderTable& table, const Entry& entry,
                const RowPath& path);

// The sourceText of the JSON formats: "source":"...", with "source_hex" where the source is not UTF-8, and
// the comma before the row's next key.
void makeJsonSourceText(RowOutput& output);

}  // namespace catadump
