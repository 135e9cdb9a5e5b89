// Recovery of damaged databases (--recover): generated databases damaged in their file records in each
// way evidence is damaged, converted with recovery, against the rows of the same database intact. Rows
// before the damage are the intact rows; the rows after it are found in the intact list, in order, each
// once, with their values, the lost piece of a name as "<?>"; nearly all of them come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "catagen/encode.h"
#include "catagen/synthetic.h"
#include "model/paths.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

struct Row {
    std::string path;
    RowValues values;
    EntryStatus status = EntryStatus::intact;
    bool isFolder = false;
};

struct Rows {
    std::vector<Row> rows;
    std::string path;
};

void keepHeader(RowOutput&, ColumnSet) {}
void keepEntry(EntrySink& sink, FolderTable& table, const Entry& entry) {
    auto& kept = *static_cast<Rows*>(rowOutput(sink).context);
    entryPath(table, entry, kept.path);
    kept.rows.push_back({kept.path, entry.values != nullptr ? *entry.values : RowValues{}, entry.status,
                         entry.kind == EntryKind::folder});
}
const OutputFormat keptRows = {"rows", keepHeader, keepEntry};

struct Converted {
    std::vector<Row> rows;
    InMemoryConversion run;
};

Converted convertKept(const std::string& database, bool recover) {
    Rows kept;
    ConversionOptions options;
    options.format = &keptRows;
    options.formatContext = &kept;
    options.recover = recover;
    InMemoryConversion run = convertInMemory(database, options);
    return {std::move(kept.rows), std::move(run)};
}

// Whether a recovered row is the intact row: the same values and path, "<?>" standing for any piece of
// its last name.
bool sameRow(const Row& got, const Row& intact) {
    const RowValues &a = got.values, &b = intact.values;
    if (got.isFolder != intact.isFolder || a.size != b.size || a.dateCreated != b.dateCreated ||
        a.dateModified != b.dateModified || a.dateAccessed != b.dateAccessed ||
        a.attributes != b.attributes) {
        return false;
    }
    size_t lost = got.path.find("<?>");
    if (lost == std::string::npos) return got.path == intact.path;
    std::string before = got.path.substr(0, lost), after = got.path.substr(lost + 3);
    if (intact.path.size() < before.size() + after.size() || !intact.path.starts_with(before) ||
        !intact.path.ends_with(after)) {
        return false;
    }
    std::string piece = intact.path.substr(before.size(), intact.path.size() - before.size() - after.size());
    return piece.find('\\') == std::string::npos;
}

struct Damage {
    const char* kind;
    uint64_t length;  // bytes damaged, cut out or inserted
    // The damaged bytes, and where the damage lies in the intact bytes: [from, to).
    std::string (*apply)(const std::string& bytes, uint64_t at, uint64_t length, std::mt19937_64& random);
};

std::string zeroed(const std::string& bytes, uint64_t at, uint64_t length, std::mt19937_64&) {
    return applyPatches(bytes, {{at, length, std::string(length, '\0')}});
}
std::string overwritten(const std::string& bytes, uint64_t at, uint64_t length, std::mt19937_64& random) {
    std::string noise(length, '\0');
    for (char& byte : noise) byte = static_cast<char>(random());
    return applyPatches(bytes, {{at, length, noise}});
}
std::string cutOut(const std::string& bytes, uint64_t at, uint64_t length, std::mt19937_64&) {
    return applyPatches(bytes, {{at, length, ""}});
}
std::string inserted(const std::string& bytes, uint64_t at, uint64_t length, std::mt19937_64& random) {
    std::string noise(length, '\0');
    for (char& byte : noise) byte = static_cast<char>(random());
    return applyPatches(bytes, {{at, 0, noise}});
}

const Damage damages[] = {
    {"a zeroed range", 4096, zeroed},  {"random bytes written over", 4096, overwritten},
    {"bytes cut out", 1000, cutOut},   {"one byte cut out", 1, cutOut},
    {"bytes inserted", 517, inserted},
};

TEST(Recovery, FileRecordsPastDamageComeBackAndNothingIsInvented) {
    catagen::SyntheticParams params;
    params.folders = 300;
    params.files = 12000;
    uint64_t after = 0, back = 0, cases = 0, unseen = 0;
    struct Shape {
        Version version;
        uint32_t flags;
        std::vector<uint32_t> filesystemTypes;
    };
    const Shape shapes[] = {
        {Version::v1_7_20, 0x3F, {0, 2}}, {Version::v1_7_17, 0x10, {1, 3}}, {Version::v1_7_8, 0, {0, 2}},
        {Version::v1_7_5, 0, {1, 0}},     {Version::v1_6_7, 0, {0, 2}},     {Version::v1_6_6, 0, {0, 2}},
    };
    for (const auto& [version, flags, filesystemTypes] : shapes) {
        {
            params.flags = flags;
            params.seed = flags + static_cast<uint32_t>(version);
            params.filesystemTypes = filesystemTypes;
            MarkedDatabase db = encodeMarked(catagen::makeSyntheticTree(params), version);
            std::vector<Row> intact = convertKept(db.bytes, false).rows;
            // Recovery changes nothing where there is no damage.
            Converted whole = convertKept(db.bytes, true);
            ASSERT_EQ(whole.rows.size(), intact.size());
            for (size_t k = 0; k < intact.size(); ++k) {
                ASSERT_EQ(whole.rows[k].path, intact[k].path);
                ASSERT_EQ(whole.rows[k].status, EntryStatus::intact);
            }
            EXPECT_NE(whole.run.console.find("rows intact: " + std::to_string(intact.size()) + ","),
                      std::string::npos);
            EXPECT_FALSE(whole.run.flags.corrupt || whole.run.flags.readError);
            const auto& files = db.marks.files;
            std::mt19937_64 random(flags);
            for (const Damage& damage : damages) {
                for (int round = 0; round < 6; ++round) {
                    SCOPED_TRACE(versionName(version) + ", flags " + std::to_string(flags) + ", " +
                                 damage.kind + ", round " + std::to_string(round));
                    uint64_t last =
                        std::min<uint64_t>(files[files.size() - 200].end, db.bytes.size() - damage.length);
                    uint64_t from = files[20].parent + random() % (last - files[20].parent);
                    uint64_t to = from + (damage.apply == inserted ? 0 : damage.length);
                    Converted got = convertKept(damage.apply(db.bytes, from, damage.length, random), true);
                    // The intact rows are the first rows of the list; every other row is a row of the list
                    // after them, in order, each once.
                    // The rows of the records wholly before the damage are the list's first rows, intact.
                    size_t head = intact.size() - files.size(), k = head;
                    while (files[k - head].end <= from) ++k;
                    size_t before = k;
                    for (k = 0; k < before; ++k) {
                        ASSERT_LT(k, got.rows.size());
                        ASSERT_EQ(got.rows[k].status, EntryStatus::intact);
                        ASSERT_TRUE(sameRow(got.rows[k], intact[k])) << got.rows[k].path;
                    }
                    size_t firstAfter = intact.size();
                    for (size_t f = 0; f < files.size(); ++f) {
                        if (files[f].parent >= to) {
                            firstAfter = head + f;
                            break;
                        }
                    }
                    // Every later row is a row of the list after them, in order, each once: a recovered or
                    // partial row always. A row still taken as intact may be wrong where the damage went
                    // unseen (a cut or an insertion that the records parse across): counted, not allowed
                    // to be many.
                    uint64_t recovered = 0;
                    for (size_t j = k; k < got.rows.size(); ++k) {
                        size_t match = j;
                        while (match < intact.size() && !sameRow(got.rows[k], intact[match])) ++match;
                        if (match == intact.size()) {
                            ASSERT_EQ(got.rows[k].status, EntryStatus::intact)
                                << "invented: " << got.rows[k].path;
                            ++unseen;
                            continue;
                        }
                        if (match >= firstAfter) ++recovered;
                        j = match + 1;
                    }
                    after += intact.size() - firstAfter;
                    back += recovered;
                    ++cases;
                    EXPECT_NE(got.run.console.find("Damage at byte "), std::string::npos);
                    EXPECT_TRUE(got.run.flags.corrupt ||
                                got.run.flags.readError);  // the run ends with status 2
                }
            }
        }
    }
    // Of the rows whose records lie wholly after the damage, nearly all come back.
    EXPECT_GE(static_cast<double>(back), 0.99 * static_cast<double>(after)) << back << " of " << after;
    // A cut that falls between two records leaves records that parse across it: it is seen only where the
    // data ends short, and the names after it keep a wrong piece until their front coding lets it go.
    EXPECT_LE(unseen, after / 100) << "rows wrong and taken as intact";
    EXPECT_EQ(cases, std::size(shapes) * std::size(damages) * 6u);
}

}  // namespace
}  // namespace catadump::test
