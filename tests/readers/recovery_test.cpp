// Recovery of damaged databases (--recover): generated databases damaged in their file records in each
// way evidence is damaged, converted with recovery, against the rows of the same database intact. Rows
// before the damage are the intact rows; the rows after it are found in the intact list, in order, each
// once, with their values, the lost piece of a name as "<?>"; nearly all of them come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "catagen/synthetic.h"
#include "support/bzip2_blocks.h"
#include "support/damage.h"
#include "support/recovered_rows.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

struct Damage {
    const char* name;
    DamageKind kind;
    uint64_t length;
};

const Damage damages[] = {
    {"a zeroed range", DamageKind::zeroed, 4096},
    {"random bytes written over", DamageKind::overwritten, 4096},
    {"bytes cut out", DamageKind::cutOut, 1000},
    {"one byte cut out", DamageKind::cutOut, 1},
    {"bytes inserted", DamageKind::inserted, 517},
};

struct Shape {
    Version version;
    uint32_t flags;
    std::vector<uint32_t> filesystemTypes;
    bool family17;                 // a hierarchy block places the folders whose records were lost
    bool hierarchyDamageRecovers;  // the file records' layout does not hang on the hierarchy
};

const Shape shapes[] = {
    {Version::v1_7_20, 0x3F, {0, 2}, true, true}, {Version::v1_7_17, 0x10, {1, 3}, true, false},
    {Version::v1_7_8, 0, {0, 0}, true, true},     {Version::v1_7_5, 0, {1, 0}, true, false},
    {Version::v1_6_7, 0, {0, 2}, false, false},   {Version::v1_6_6, 0, {0, 2}, false, false},
};

// Damage in the folder records of the 1.7 family, whose hierarchy block still places every folder: the
// files after the damage come back, their folder paths with "<?>" for the folders whose records were lost;
// of the 1.6 family, whose folder records hold the hierarchy: the files come back under one folder "<?>".
// Damage in its hierarchy block: every folder then hangs from "<?>", where the file records can be read
// without it.
TEST(Recovery, RecordsPastDamageComeBackAndNothingIsInvented) {
    catagen::SyntheticParams params;
    params.folders = 300;
    params.files = 12000;
    uint64_t after = 0, back = 0, cases = 0, unseen = 0;
    for (const Shape& shape : shapes) {
        params.flags = shape.flags;
        params.seed = shape.flags + static_cast<uint32_t>(shape.version);
        params.filesystemTypes = shape.filesystemTypes;
        MarkedDatabase db = encodeMarked(catagen::makeSyntheticTree(params), shape.version);
        std::vector<KeptRow> intact = convertKept(db.bytes, false).rows;
        // Recovery changes nothing where there is no damage.
        KeptConversion whole = convertKept(db.bytes, true);
        ASSERT_EQ(whole.rows.size(), intact.size());
        for (size_t k = 0; k < intact.size(); ++k) {
            ASSERT_EQ(whole.rows[k].path, intact[k].path);
            ASSERT_EQ(whole.rows[k].status, EntryStatus::intact);
        }
        EXPECT_NE(whole.console.find("rows intact: " + std::to_string(intact.size()) + ","),
                  std::string::npos);
        EXPECT_FALSE(whole.result.flags.corrupt || whole.result.flags.readError);
        EXPECT_EQ(whole.console.find("file records missing"), std::string::npos);
        const auto& files = db.marks.files;
        // A cut of whole records may read in step across it: then only the count at the end tells it (at
        // least the records cut; more where a gap was found there).
        std::string cut = db.bytes;
        cut.erase(files[5000].parent, files[5007].parent - files[5000].parent);
        std::string cutConsole = convertKept(cut, true).console;
        size_t missingAt = cutConsole.find("file records missing: ");
        ASSERT_NE(missingAt, std::string::npos) << cutConsole;
        EXPECT_GE(std::stoul(cutConsole.substr(missingAt + 22)), 7u) << cutConsole;
        EXPECT_NE(cutConsole.find(" of " + std::to_string(files.size()) + "\n", missingAt),
                  std::string::npos);
        const auto& folders = db.marks.folders;
        size_t head = intact.size() - files.size();
        std::mt19937_64 random(shape.flags);
        for (DamageRegion region :
             {DamageRegion::fileRecords, DamageRegion::folderRecords, DamageRegion::hierarchy}) {
            if (region == DamageRegion::hierarchy && !shape.family17)
                continue;  // the 1.6 family has no such block
            for (const Damage& damage : damages) {
                for (int round = 0; round < 6; ++round) {
                    const char* where[] = {" in the file records", " in the folder records",
                                           " in the hierarchy"};
                    SCOPED_TRACE(versionName(shape.version) + ", flags " + std::to_string(shape.flags) +
                                 ", " + damage.name + where[static_cast<int>(region)] + ", round " +
                                 std::to_string(round));
                    // A zeroed range in the hierarchy reads as folders under the first folder, which nothing
                    // tells from a true hierarchy: the records are then read with the layouts of the wrong
                    // filesystems, and nothing is promised.
                    if (region == DamageRegion::hierarchy && damage.kind == DamageKind::zeroed) continue;
                    auto [first, last] = damageRange(db.marks, db.bytes.size(), region, 200, damage.length);
                    uint64_t from = first + random() % (last - first);
                    uint64_t to = from + (damage.kind == DamageKind::inserted ? 0 : damage.length);
                    KeptConversion got =
                        convertKept(damaged(db.bytes, damage.kind, from, damage.length, random), true);
                    size_t before = 0, firstAfter = head;
                    if (region == DamageRegion::fileRecords) {
                        before = head;
                        while (files[before - head].end <= from) ++before;
                    } else if (region == DamageRegion::folderRecords) {
                        // The two folder records before the damage go with it; without values, all of them
                        // (in the 1.6 family every folder: its records hold the hierarchy).
                        while (folders[before].end <= from) ++before;
                        bool valuesProve = hasValueColumns(shape.version) && (shape.flags & 0x3E) != 0;
                        before = before < 2 || !valuesProve ? 0 : before - 2;
                    }
                    // Where the reading runs into the file records, or the chain of names breaks, the damage
                    // may have begun anywhere before (a cut of whole records): no folder keeps its name.
                    if (region == DamageRegion::folderRecords &&
                        (got.rows.empty() || got.rows[0].status != EntryStatus::intact))
                        before = 0;
                    while (firstAfter < intact.size() && files[firstAfter - head].parent < to) ++firstAfter;
                    RecoveredComparison c = compareRecovered(intact, got.rows, before, firstAfter);
                    ASSERT_TRUE(c.headIntact);
                    ASSERT_EQ(c.invented, 0u) << c.firstInvented;
                    EXPECT_TRUE(got.result.flags.corrupt || got.result.flags.readError);  // exit status 2
                    bool recovers = region != DamageRegion::hierarchy || shape.hierarchyDamageRecovers;
                    if (!recovers) continue;
                    after += c.after;
                    back += c.back;
                    unseen += c.unseen;
                    ++cases;
                }
            }
        }
    }
    // Of the rows whose records lie wholly after the damage, nearly all come back.
    EXPECT_GE(static_cast<double>(back), 0.99 * static_cast<double>(after)) << back << " of " << after;
    // A row still taken as intact may be wrong where the damage went unseen: a cut that falls between two
    // records leaves records that parse across it, seen only where the data ends short, and the names after
    // it keep a wrong piece until their front coding lets it go.
    EXPECT_LE(unseen, after / 100) << "rows wrong and taken as intact";
    EXPECT_EQ(cases, 2 * std::size(shapes) * std::size(damages) * 6u + 2 * (std::size(damages) - 1) * 6u);
}

// A bzip2 block that does not decode is lost, and with it the file records it held: the rows before it come
// first and intact, the rows of the records wholly after it come back, none invented, none taken as intact.
// Which records the lost block held is known from each block decoded on its own (support/bzip2_blocks.h).
// Each block of file records is damaged in turn, the last one too, where the data ends in the gap.
TEST(Recovery, FileRecordsPastALostBzip2BlockComeBack) {
    catagen::SyntheticParams params;
    params.folders = 300;
    params.files = 40000;
    uint64_t after = 0, back = 0, cases = 0;
    for (const Shape& shape : shapes) {
        const auto& [version, flags, filesystemTypes, family17, hierarchyDamageRecovers] = shape;
        (void)family17;
        (void)hierarchyDamageRecovers;
        params.flags = flags;
        params.seed = flags + static_cast<uint32_t>(version) + 7;
        params.filesystemTypes = filesystemTypes;
        MarkedDatabase db = encodeMarked(catagen::makeSyntheticTree(params), version);
        std::vector<KeptRow> intact = convertKept(db.bytes, false).rows;
        std::string wrapped = wrapInSmallBlocks(db.bytes);
        std::vector<Bzip2Block> blocks = bzip2Blocks(wrapped);
        ASSERT_GE(blocks.size(), 4u) << versionName(version);
        ASSERT_EQ(blocks.back().rawTo, db.bytes.size());
        const auto& files = db.marks.files;
        size_t head = intact.size() - files.size();
        for (size_t lost = 1; lost < blocks.size(); ++lost) {
            const Bzip2Block& block = blocks[lost];
            if (block.rawFrom <= files.front().parent) continue;  // it holds folder records too
            SCOPED_TRACE(versionName(version) + ", block " + std::to_string(lost + 1) + " of " +
                         std::to_string(blocks.size()));
            // 16 bytes in the middle of the block, each changed.
            std::string bytes = wrapped;
            for (uint64_t at = (block.bitFrom + block.bitTo) / 16, k = at; k < at + 16; ++k)
                bytes[k] = static_cast<char>(~bytes[k]);
            KeptConversion got = convertKept(bytes, true);
            EXPECT_NE(got.console.find("Failed to decompress block " + std::to_string(lost + 1) + " at bit " +
                                       std::to_string(block.bitFrom) + ", skipped."),
                      std::string::npos)
                << got.console;
            EXPECT_TRUE(got.result.flags.readError);  // exit status 2
            size_t before = head, firstAfter = head;
            while (files[before - head].end <= block.rawFrom) ++before;
            while (firstAfter < intact.size() && files[firstAfter - head].parent < block.rawTo) ++firstAfter;
            RecoveredComparison c = compareRecovered(intact, got.rows, before, firstAfter);
            ASSERT_TRUE(c.headIntact);
            EXPECT_EQ(c.invented, 0u) << c.firstInvented;
            EXPECT_EQ(c.unseen, 0u);
            ++cases;
            if (lost + 1 == blocks.size()) {
                EXPECT_EQ(got.rows.size(), before);  // nothing is read past the gap at the data's end
                continue;
            }
            // The reading takes up again within a few records of the gap. A row short of the piece of its
            // name the gap took may also pass for a row of the lost block, and then counts as not back.
            EXPECT_GE(c.back + 256, c.after) << c.back << " of " << c.after;
            after += c.after;
            back += c.back;
            // Without recovery the rows end at the lost block, but for a row or two of the damaged block's
            // bytes that the decoder hands on before the block's check fails.
            EXPECT_LT(convertKept(bytes, false).rows.size(), before + 10);
        }
    }
    EXPECT_GE(static_cast<double>(back), 0.995 * static_cast<double>(after)) << back << " of " << after;
    EXPECT_GE(cases, 6u * 4);
}

// A folder that is unlikely (attributes 0) but sound, then damage in the folder records further on than
// the recovery window keeps bytes behind its position: the damage is taken to begin at the unlikely folder,
// whose record the window no longer holds, and the file records are looked for from as far back as it
// does.
TEST(Recovery, DamageFarPastAnUnlikelyFolder) {
    catagen::SyntheticParams params;
    params.folders = 40000;
    params.files = 2000;
    params.flags = 0x3F;
    params.filesystemTypes = {2};
    MarkedDatabase db = encodeMarked(catagen::makeSyntheticTree(params), Version::v1_7_20);
    const auto& folders = db.marks.folders;
    for (uint64_t k = folders[100].end - 4; k < folders[100].end; ++k) db.bytes[k] = 0;
    std::vector<KeptRow> intact = convertKept(db.bytes, false).rows;
    ASSERT_GT(folders[39000].end - folders[100].end, uint64_t{9} << 17);
    std::mt19937_64 random(1);
    KeptConversion got =
        convertKept(damaged(db.bytes, DamageKind::zeroed, folders[39000].name, 600, random), true);
    // Whether the file records begin at the unlikely folder's record is not known there: no folder is kept.
    EXPECT_EQ(got.rows.front().status, EntryStatus::partial);
    RecoveredComparison c = compareRecovered(intact, got.rows, 0, intact.size() - db.marks.files.size());
    EXPECT_EQ(c.invented, 0u) << c.firstInvented;
    EXPECT_EQ(c.back, c.after) << got.console;
}

// A lost bzip2 block in the 1.6 family's folder records: a read that fails with data still to come is
// damage, and the files come back under the folder "<?>".
TEST(Recovery, FilesPastALostBlockOfFolderRecordsComeBack) {
    catagen::SyntheticParams params;
    params.folders = 12000;
    params.files = 3000;
    for (Version version : {Version::v1_6_6, Version::v1_6_7}) {
        SCOPED_TRACE(versionName(version));
        MarkedDatabase db = encodeMarked(catagen::makeSyntheticTree(params), version);
        std::vector<KeptRow> intact = convertKept(db.bytes, false).rows;
        std::string wrapped = wrapInSmallBlocks(db.bytes);
        std::vector<Bzip2Block> blocks = bzip2Blocks(wrapped);
        ASSERT_GE(blocks.size(), 4u);
        // Block 2 holds folder records only.
        ASSERT_GT(blocks[1].rawFrom, db.marks.folderRecordsStart);
        ASSERT_LT(blocks[1].rawTo, db.marks.files.front().parent);
        for (uint64_t k = (blocks[1].bitFrom + blocks[1].bitTo) / 16, end = k + 16; k < end; ++k)
            wrapped[k] = static_cast<char>(~wrapped[k]);
        KeptConversion got = convertKept(wrapped, true);
        RecoveredComparison c = compareRecovered(intact, got.rows, 0, intact.size() - db.marks.files.size());
        ASSERT_TRUE(c.headIntact);
        EXPECT_EQ(c.invented, 0u) << c.firstInvented;
        EXPECT_GE(c.back + 16, c.after) << c.back << " of " << c.after;
        EXPECT_EQ(got.rows.front().path.substr(0, 4), "<?>\\");
    }
}

}  // namespace
}  // namespace catadump::test
