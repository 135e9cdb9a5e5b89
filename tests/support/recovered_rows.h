// A recovering conversion's rows against the rows of the same database intact: what the recovery tests
// assert and bench/recovery_figures reports. Header-only, so that the bench program needs nothing of the
// test program but this.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catagen/encode.h"
#include "driver/convert.h"
#include "formats/output_format.h"
#include "io/byte_sink.h"
#include "io/byte_source.h"
#include "model/paths.h"

namespace catadump::test {

struct KeptRow {
    std::string path;
    RowValues values;
    EntryStatus status = EntryStatus::intact;
    bool isFolder = false;
};

struct KeptRows {
    std::vector<KeptRow> rows;
    std::string path;
};

inline void keepHeader(RowOutput&, ColumnSet) {}
inline void keepEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    auto& kept = *static_cast<KeptRows*>(rowOutput(sink).context);
    entryPath(table, entry, kept.path);
    kept.rows.push_back({kept.path, entry.values != nullptr ? *entry.values : RowValues{}, entry.status,
                         entry.kind == EntryKind::folder});
}
inline const OutputFormat keptRowsFormat = {"rows", keepHeader, keepEntry};

struct KeptConversion {
    std::vector<KeptRow> rows;
    ConversionResult result;
    std::string console;
};

inline void keepConsole(void* context, const char* text, size_t n) {
    static_cast<std::string*>(context)->append(text, n);
}

// The database's rows, with or without recovery, with the run's result and console.
inline KeptConversion convertKept(std::string_view database, bool recover) {
    KeptRows kept;
    KeptConversion done;
    MemoryInput input{reinterpret_cast<const uint8_t*>(database.data()), database.size(), 0};
    ConversionOptions options;
    options.format = &keptRowsFormat;
    options.formatContext = &kept;
    options.recover = recover;
    done.result =
        convert(memorySource(input), discardingSink(), Console{&done.console, keepConsole}, options);
    done.rows = std::move(kept.rows);
    return done;
}

// The ways evidence is damaged, each at `at` over `length` bytes of the database (an insertion puts
// `length` bytes there); the damaged bytes.
enum class DamageKind { zeroed, overwritten, cutOut, inserted };

inline std::string damaged(const std::string& bytes, DamageKind kind, uint64_t at, uint64_t length,
                           std::mt19937_64& random) {
    std::string noise(length, '\0');
    if (kind == DamageKind::overwritten || kind == DamageKind::inserted) {
        for (char& byte : noise) byte = static_cast<char>(random());
    }
    std::string out = bytes.substr(0, at);
    if (kind != DamageKind::cutOut) out += noise;
    out.append(bytes, kind == DamageKind::inserted ? at : at + length);
    return out;
}

// Where damage falls: in the file records, in the folder records, in the 1.7 family's hierarchy block.
enum class DamageRegion { fileRecords, folderRecords, hierarchy };

// The positions [first, last) where damage of `length` bytes may begin in a region of the database: the
// file records from the `margin`-th to the `margin`-th from the end; the folder records from the end of
// the eleventh (damage among the first ones takes the hierarchy's trust too); the hierarchy block from the
// third reference.
inline std::pair<uint64_t, uint64_t> damageRange(const catagen::EncodeMarks& marks, uint64_t databaseSize,
                                                 DamageRegion region, size_t margin, uint64_t length) {
    const auto& files = marks.files;
    const auto& folders = marks.folders;
    switch (region) {
    case DamageRegion::folderRecords:
        return {folders[10].end, folders.back().end};
    case DamageRegion::hierarchy:
        return {folders[2].parent, folders.back().parent + 4};
    case DamageRegion::fileRecords:
        break;
    }
    return {files[margin].parent,
            std::min<uint64_t>(files[files.size() - margin].end, databaseSize - length)};
}

// Whether a piece of a recovered path (a folder's name or the row's own) is the intact piece: the same, or
// "<?>" for a lost piece, then the intact piece's end (a folder whose record was lost is "<?>" alone).
inline bool samePiece(std::string_view got, std::string_view intact) {
    if (!got.starts_with("<?>")) return got == intact;
    return intact.ends_with(got.substr(3));
}

// Whether a recovered row is the intact row: the same kind, values and path, piece by piece.
inline bool sameRow(const KeptRow& got, const KeptRow& intact) {
    const RowValues &a = got.values, &b = intact.values;
    if (got.isFolder != intact.isFolder || a.size != b.size || a.dateCreated != b.dateCreated ||
        a.dateModified != b.dateModified || a.dateAccessed != b.dateAccessed ||
        a.attributes != b.attributes) {
        return false;
    }
    if (got.path.find("<?>") == std::string::npos) return got.path == intact.path;
    auto pieces = [](std::string_view path) {
        std::vector<std::string_view> out;
        for (size_t end; (end = path.find('\\')) != std::string_view::npos; path.remove_prefix(end + 1))
            out.push_back(path.substr(0, end));
        out.push_back(path);
        return out;
    };
    std::vector<std::string_view> known = pieces(got.path), whole = pieces(intact.path);
    // A path whose folders' chain was lost begins with "<?>" for whatever is above what is known (nothing,
    // for a root folder); otherwise each piece is a piece.
    size_t from = known.front() == "<?>" ? 1 : 0;
    if (known.size() - from > whole.size() || (from == 0 && known.size() != whole.size())) return false;
    for (size_t k = 1; k + from <= known.size(); ++k) {
        if (!samePiece(known[known.size() - k], whole[whole.size() - k])) return false;
    }
    return true;
}

// How the rows after the damage compare. `before` rows of the intact list (those of the records wholly
// before the damage) must come first, intact and the same; every later row is matched with a row of the
// intact list after them, in order, each once. A recovered or partial row that matches none is invented;
// an intact one that matches none was read across damage that went unseen there.
struct RecoveredComparison {
    bool headIntact = true;  // the rows before the damage came first, intact and the same
    uint64_t after = 0;      // intact rows of the records wholly after the damage
    uint64_t back = 0;       // of those, the rows that came back (with any status)
    uint64_t invented = 0;
    uint64_t unseen = 0;
    uint64_t recovered = 0;     // rows read after a gap: recovered or partial
    uint64_t wholeNames = 0;    // of those, the rows whose name is whole
    uint64_t wholeFolders = 0;  // of those file rows, the rows whose folder path is whole
    uint64_t fileRows = 0;      // recovered or partial file rows
    std::string firstInvented;
};

inline constexpr size_t searchedRows = 50000;

inline RecoveredComparison compareRecovered(const std::vector<KeptRow>& intact,
                                            const std::vector<KeptRow>& got, size_t before,
                                            size_t firstAfter) {
    RecoveredComparison c;
    size_t k = 0;
    for (; k < before; ++k) {
        if (k >= got.size() || got[k].status != EntryStatus::intact || !sameRow(got[k], intact[k])) {
            c.headIntact = false;
            return c;
        }
    }
    c.after = intact.size() - firstAfter;
    for (size_t j = k; k < got.size(); ++k) {
        const KeptRow& row = got[k];
        if (row.status != EntryStatus::intact) {
            ++c.recovered;
            size_t lost = row.path.find("<?>");
            if (lost == std::string::npos) ++c.wholeNames;
            if (!row.isFolder) {
                ++c.fileRows;
                if (lost == std::string::npos || row.path.find('\\', lost) == std::string::npos)
                    ++c.wholeFolders;
            }
        }
        // A gap takes a few thousand records at most: a row is looked for no further than that.
        size_t match = j, end = std::min(intact.size(), j + searchedRows);
        while (match < end && !sameRow(row, intact[match])) ++match;
        if (match == end) {
            if (row.status == EntryStatus::intact) {
                ++c.unseen;
            } else if (c.invented++ == 0) {
                c.firstInvented = row.path;
            }
            continue;
        }
        if (match >= firstAfter) ++c.back;
        j = match + 1;
    }
    return c;
}

}  // namespace catadump::test
