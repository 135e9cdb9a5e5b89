// QRTb databases cut short at every byte, stored raw and bzip2-wrapped. Once a read fails the reader stops
// at its next check instead of going on with zeroes, so the output never holds a row made up from missing
// data: a cut before the folder records leaves no row; a cut in folder record k leaves the folders below
// k whose whole parent chain lies below k, and no file; a cut in file record k leaves every folder and the
// files before k. Either way the read-error flag is set and "Conversion complete!" is the reader's last
// line.
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "reader17_fixture.h"

namespace catadump::test {
namespace {

enum class Storage { raw, bzip2 };

const std::string compressedLines = "Magic BZh9\nDatabase is compressed, decompressing with bz2...\n";
const std::regex inflateFailure(
    "BZ2_bzDecompress\\(\\): 4: Unexpected EOF in decompression stream\\.\n|ReadFile\\(\\): -?[0-9]+: Failed to read\\.\n");

// The rich database of every kind of record, or one folder holding one file: there a hierarchy reference
// read as zero after the cut would make the folder its own parent.
enum class Content { rich, single };

class QrtbTruncation : public ::testing::TestWithParam<std::tuple<Version, Content>> {
protected:
    Version v() const { return std::get<0>(GetParam()); }

    void SetUp() override {
        if (std::get<1>(GetParam()) == Content::rich) {
            tree = richTree(v());
            folderRows = richFolderRows(v());
            fileRows = richFileRows(v());
        } else {
            tree.folders = {{.parent = 1, .name = "only"}};
            tree.files = {{.parent = 0, .name = "f"}};
            folderRows = {"\"only" + closing(v(), true, {0, 0, 0, 0, 16})};
            fileRows = {"\"only\\f" + closing(v(), false, {})};
        }
        layout = layOut(tree, v());
    }

    // The rows that a database cut after `kept` bytes may show.
    std::string expectedCsv(size_t kept) const {
        if (kept < 8) return "";  // no version word: nothing is recognised
        std::string csv = headerLineOf(v());
        size_t folderCount = tree.folders.size();
        if (kept < layout.folderEnds.back()) {
            size_t complete = 0;
            while (complete < folderCount && layout.folderEnds[complete] <= kept) ++complete;
            if (kept < layout.recordsStart) complete = 0;
            for (size_t i = 0; i < complete; ++i) {
                if (chainBelow(static_cast<uint32_t>(i), complete)) csv += folderRows[i];
            }
            return csv;
        }
        for (const std::string& row : folderRows) csv += row;
        for (size_t k = 0; k < fileRows.size() && layout.fileEnds[k] <= kept; ++k) csv += fileRows[k];
        return csv;
    }

    // Whether the folder and all its ancestors have an index below `limit`.
    bool chainBelow(uint32_t folder, size_t limit) const {
        auto count = static_cast<uint32_t>(tree.folders.size());
        for (uint32_t at = folder; at < count; at = tree.folders[at].parent) {
            if (at >= limit) return false;
        }
        return true;
    }

    Tree tree;
    Layout layout;
    std::vector<std::string> folderRows, fileRows;
};

TEST_P(QrtbTruncation, WholeDatabaseConvertsCleanly) {
    InMemoryConversion result = convertInMemory(layout.bytes);
    EXPECT_EQ(result.csv, expectedCsv(layout.bytes.size()));
    EXPECT_EQ(result.console, completeConsole(tree, v()));
    EXPECT_FALSE(result.flags.readError || result.flags.corrupt);

    InMemoryConversion packed = convertInMemory(bzip2(layout.bytes));
    EXPECT_EQ(packed.csv, result.csv);
    EXPECT_EQ(packed.console, compressedLines + result.console);
    EXPECT_FALSE(packed.flags.readError || packed.flags.corrupt);
}

TEST_P(QrtbTruncation, CutAtEveryByteLeavesOnlyRowsOfWholeRecords) {
    const size_t size = layout.bytes.size();
    ASSERT_LT(layout.recordsStart, layout.folderEnds.front());
    ASSERT_LT(layout.folderEnds.back(), layout.fileEnds.front());
    for (size_t kept = 0; kept < size; ++kept) {
        SCOPED_TRACE("kept " + std::to_string(kept) + " of " + std::to_string(size));
        std::string cutShort = cut(layout.bytes, kept);
        InMemoryConversion raw = convertInMemory(cutShort, 16);
        EXPECT_EQ(raw.csv, expectedCsv(kept));
        EXPECT_TRUE(raw.flags.readError);
        EXPECT_FALSE(raw.flags.corrupt);
        if (kept >= 8) {
            EXPECT_TRUE(raw.console.ends_with("\nConversion complete!\n")) << raw.console;
            // The file part starts only after every folder record was read in full.
            bool fileParts = raw.console.find("Loading files...\n") != std::string::npos;
            EXPECT_EQ(fileParts, kept >= layout.folderEnds.back()) << raw.console;
        }

        // The same cut inside a bzip2 stream: the same rows, and the console of the raw run between the
        // bzip2 lines and one line about the early end of the decompressed data.
        InMemoryConversion packed = convertInMemory(bzip2(cutShort));
        EXPECT_EQ(packed.csv, raw.csv);
        EXPECT_TRUE(packed.flags.readError);
        EXPECT_FALSE(packed.flags.corrupt);
        ASSERT_TRUE(packed.console.starts_with(compressedLines)) << packed.console;
        std::string rest = packed.console.substr(compressedLines.size());
        std::smatch failure;
        ASSERT_TRUE(std::regex_search(rest, failure, inflateFailure)) << rest;
        std::string withoutFailure = failure.prefix().str() + failure.suffix().str();
        EXPECT_FALSE(std::regex_search(withoutFailure, inflateFailure)) << rest;
        EXPECT_EQ(withoutFailure, raw.console);
        if (HasFailure()) break;  // one cut's report is enough
    }
}

INSTANTIATE_TEST_SUITE_P(, QrtbTruncation,
                         ::testing::Combine(::testing::ValuesIn(qrtbVersions), ::testing::Values(Content::rich, Content::single)),
                         [](const auto& test) {
                             return versionName(std::get<0>(test.param)) +
                                    (std::get<1>(test.param) == Content::rich ? "_Rich" : "_SingleFolder");
                         });

} // namespace
} // namespace catadump::test
