// Damaged databases of every version, written by the generator's encoder and damaged at the marks it
// reports: cut short at every byte, counts and lengths far beyond the data, structural errors. Each
// conversion runs in process, raw and bzip2-wrapped, and the structural errors also through the program,
// from a file and through a pipe; the rows expected come from the generator's expected CSV and the marks.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bzip2/blocks.h"
#include "catagen/expected_csv.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

using namespace std::string_literals;
using catagen::Entry;
using catagen::kNoFolder;

const std::string compressedLines = "Magic BZh9\nDatabase is compressed, decompressing with bz2...\n";
const std::string noSignatureLines = "Magic \0\0\0\0\nUnknown DB type 00000000 \0\0\0\0\n"s;
const std::regex decompressionFailure("BZ2_bzDecompress\\(\\): 4: Unexpected EOF in decompression "
                                      "stream\\.\n|ReadFile\\(\\): -?[0-9]+: Failed to read\\.\n");

catagen::Filesystem filesystem(uint32_t type, std::string path) {
    catagen::Filesystem fs;
    fs.type = type;
    fs.guid = "{" + path + "}";
    fs.path = std::move(path);
    return fs;
}

// Filesystems of the types every version can write (1.6.7 writes them all as type 0; 1.6.6 turns their
// drive letters into its drive list), and in 1.7.17/1.7.20 one of type 3. Folder 1 hangs from folder 4,
// which comes after it; folder 4 repeats the name before it; files lie at depths one to four, one with a
// quote and a comma in its name, and in 1.7 one at the top of a filesystem. Records on the type-1
// filesystem announce optional fields.
catagen::Tree richTree(Version v) {
    catagen::Tree tree;
    tree.settings.flags = 0x3F;
    tree.filesystems = {filesystem(2, "C:"), filesystem(1, "E:\\Media"), filesystem(0, "F:")};
    auto folder = [](std::string name, uint32_t parent, uint32_t fs, uint8_t flags = 0) {
        return Entry{std::move(name),
                     parent,
                     fs,
                     {.size = 0,
                      .created = 3,
                      .modified = 4,
                      .accessed = 5,
                      .attributes = 0x10,
                      .recordFlags = flags}};
    };
    tree.folders = {
        folder("C:", kNoFolder, 0), folder("Programs", 4, 0, 0x05), folder("Media", kNoFolder, 1, 0x01),
        folder("Docs", 2, 1, 0x04), folder("Docs", 3, 1),           folder("F:", kNoFolder, 2)};
    auto file = [](std::string name, uint32_t parent, uint64_t size, uint32_t fs = 0) {
        return Entry{std::move(name),
                     parent,
                     fs,
                     {.size = size,
                      .created = 7,
                      .modified = 8,
                      .accessed = 9,
                      .attributes = 0x20,
                      .recordFlags = 0x0F}};
    };
    tree.files = {file("readme.txt", 1, 100), file("readme.md", 1, 200), file("a\"b,c", 4, 300),
                  file("x", 0, 1), file("n", 5, 2)};
    if (!isQwtb(v)) tree.files.push_back(file("top", kNoFolder, 3, 1));
    if (isLate(v)) {
        tree.filesystems.push_back(filesystem(3, "G:"));
        tree.folders.push_back(folder("misc", kNoFolder, 3));
        tree.files.push_back(file("m", 6, 4));
    }
    return tree;
}

// One folder holding one file: a hierarchy reference read as zero after a cut would make the folder its own
// parent.
catagen::Tree singleTree() {
    catagen::Tree tree;
    tree.filesystems = {filesystem(2, "C:")};
    tree.folders = {{"only", kNoFolder, 0, {.attributes = 0x10}}};
    tree.files = {{"f", 0, 0, {}}};
    return tree;
}

// A tree written in one version, its marks, and the rows the converter writes of it.
struct Subject {
    Subject(const catagen::Tree& t, Version v, catagen::CountForm counts = catagen::CountForm::Shortest)
        : tree(t), version(v), db(encodeMarked(t, v, counts)), rows(csvRows(catagen::expectedCsv(t, v))) {}
    const std::string& header() const { return rows[0]; }
    const std::string& folderRow(size_t i) const { return rows[1 + i]; }
    const std::string& fileRow(size_t i) const { return rows[1 + tree.folders.size() + i]; }
    std::string all() const {
        return rows.empty() ? "" : std::string(header()) + folderAndFileRows(tree.files.size());
    }

    // The header, every folder row, and the rows of the first `files` files.
    std::string folderAndFileRows(size_t files) const {
        std::string csv;
        for (size_t i = 0; i < tree.folders.size(); ++i) csv += folderRow(i);
        for (size_t j = 0; j < files; ++j) csv += fileRow(j);
        return csv;
    }
    // The rows after a read error in folder record `complete` (the records before it read in full): the
    // folders read whose whole parent chain was read.
    std::string rowsOfFoldersRead(size_t complete) const {
        std::string csv = header();
        for (size_t i = 0; i < complete; ++i) {
            bool chainRead = true;
            for (uint32_t at = static_cast<uint32_t>(i); at != kNoFolder; at = tree.folders[at].parentFolder)
                chainRead = chainRead && at < complete;
            if (chainRead) csv += folderRow(i);
        }
        return csv;
    }
    // The rows a database cut after `kept` bytes gives.
    std::string rowsAfterCut(size_t kept) const {
        if (kept < 8) return "";
        const auto& folders = db.marks.folders;
        if (kept < folders.back().end) {
            size_t complete = 0;
            while (complete < folders.size() && folders[complete].end <= kept) ++complete;
            return rowsOfFoldersRead(complete);
        }
        size_t files = 0;
        while (files < db.marks.files.size() && db.marks.files[files].end <= kept) ++files;
        return header() + folderAndFileRows(files);
    }

    catagen::Tree tree;
    Version version;
    MarkedDatabase db;
    std::vector<std::string> rows;  // the header line, then one per folder, then one per file
};

// The console of a bzip2-wrapped run once its decompression failure line is taken out; empty when there is
// not exactly one such line.
std::optional<std::string> withoutFailureLine(const std::string& console) {
    std::smatch failure;
    if (!std::regex_search(console, failure, decompressionFailure)) return std::nullopt;
    std::string rest = failure.prefix().str() + failure.suffix().str();
    if (std::regex_search(rest, decompressionFailure)) return std::nullopt;
    return rest;
}

// A bzip2-wrapped copy of `bytes` must give what the raw run gave: the same rows and flags, the bzip2 lines,
// and, when the raw run met the end of its data, one line about the early end of the decompressed data.
void expectSameWhenWrapped(const std::string& bytes, const InMemoryConversion& raw) {
    InMemoryConversion packed = convertInMemory(bzip2(bytes));
    EXPECT_EQ(packed.csv, raw.csv);
    EXPECT_EQ(packed.flags.readError, raw.flags.readError);
    EXPECT_EQ(packed.flags.corrupt, raw.flags.corrupt);
    ASSERT_TRUE(packed.console.starts_with(compressedLines)) << packed.console;
    std::string rest = packed.console.substr(compressedLines.size());
    if (raw.flags.readError) {
        EXPECT_EQ(withoutFailureLine(rest), raw.console) << rest;
    } else {
        EXPECT_EQ(rest, raw.console);
    }
}

enum class Content { rich, single };

class DamagedInput : public ::testing::TestWithParam<std::tuple<Version, Content>> {
  protected:
    // Counts in both forms, the long one chosen at random where the short one would do.
    DamagedInput()
        : subject(std::get<1>(GetParam()) == Content::rich ? richTree(std::get<0>(GetParam())) : singleTree(),
                  std::get<0>(GetParam()), catagen::CountForm::Mixed) {}
    Version v() const { return subject.version; }
    const catagen::EncodeMarks& marks() const { return subject.db.marks; }
    Subject subject;
};

TEST_P(DamagedInput, IntactDatabaseConvertsInFull) {
    InMemoryConversion run = convertInMemory(subject.db.bytes);
    EXPECT_EQ(run.csv, subject.all());
    EXPECT_TRUE(run.console.ends_with("Loading files...\nConversion complete!\n")) << run.console;
    EXPECT_FALSE(run.flags.readError || run.flags.corrupt);
    expectSameWhenWrapped(subject.db.bytes, run);
}

// Cut at any byte, raw and as a whole bzip2 stream of the cut: exactly the rows of the records read in
// full (folder rows once every folder record is read, or else those whose parent chain was read; file rows
// of whole file records), never a row made up from missing data, and never a report of corruption. A QWTB
// decode size one more than the slots makes the decode check show whether it ran.
TEST_P(DamagedInput, CutAtEveryByteKeepsOnlyRowsOfWholeRecords) {
    std::string intact = subject.db.bytes;
    if (isQwtb(v())) {
        uint32_t decodeSize = marks().firstInvalidReference;
        intact = overwriteU32(intact, *marks().folderDecodeSize, decodeSize + 1);
    }
    const std::string signature = intact.substr(0, 4);
    const size_t foldersEnd = marks().folders.back().end;
    for (size_t kept = 0; kept < intact.size(); ++kept) {
        SCOPED_TRACE("kept " + std::to_string(kept) + " of " + std::to_string(intact.size()));
        std::string piece = cut(intact, kept);
        InMemoryConversion raw = convertInMemory(piece, 16);
        EXPECT_EQ(raw.csv, subject.rowsAfterCut(kept));
        EXPECT_TRUE(raw.flags.readError);
        EXPECT_FALSE(raw.flags.corrupt);
        if (kept < 4) {
            EXPECT_EQ(raw.console, noSignatureLines);
        } else if (kept < 8) {
            EXPECT_EQ(raw.console, "Magic " + signature + "\nVersion 0.0.0\nUnknown DB version 00000000\n");
        } else {
            EXPECT_TRUE(raw.console.ends_with("\nConversion complete!\n")) << raw.console;
            bool folderPart = raw.console.find("Loading folders...\n") != std::string::npos;
            bool filePart = raw.console.find("Loading files...\n") != std::string::npos;
            bool decodeChecked = raw.console.find("bad folder decode") != std::string::npos;
            EXPECT_EQ(folderPart, kept >= marks().folderRecordsStart) << raw.console;
            EXPECT_EQ(filePart, kept >= foldersEnd) << raw.console;
            EXPECT_EQ(decodeChecked, isQwtb(v()) && kept >= foldersEnd) << raw.console;
        }
        expectSameWhenWrapped(piece, raw);
        if (HasFailure()) break;  // one cut's report is enough
    }
}

// The bzip2 file itself cut at any byte. The only block decodes whole or not at all: a cut inside it leaves
// no data, a cut in the end-of-stream mark leaves every row but still fails. Either way the rows are those
// of some cut of the database, and nothing is reported as corrupt.
TEST_P(DamagedInput, CompressedFileCutAtEveryByte) {
    const std::string& intact = subject.db.bytes;
    std::set<std::string> possible;
    for (size_t kept = 0; kept <= intact.size(); ++kept) possible.insert(subject.rowsAfterCut(kept));
    std::string packed = bzip2(intact);
    std::vector<MagicMark> magics;
    findMagics(reinterpret_cast<const uint8_t*>(packed.data()), packed.size(), 0, magics);
    ASSERT_EQ(magics.size(), 2u);
    ASSERT_EQ(magics[1].kind, MagicKind::end);
    const uint64_t blockEndBit = magics[1].bit;
    for (size_t kept = 0; kept < packed.size(); ++kept) {
        SCOPED_TRACE("kept " + std::to_string(kept) + " of " + std::to_string(packed.size()));
        InMemoryConversion run = convertInMemory(cut(packed, kept));
        EXPECT_TRUE(possible.contains(run.csv)) << run.csv;
        EXPECT_TRUE(run.flags.readError);
        EXPECT_FALSE(run.flags.corrupt);
        if (kept < 4) continue;  // the signature itself is cut
        ASSERT_TRUE(run.console.starts_with(compressedLines)) << run.console;
        std::optional<std::string> rest = withoutFailureLine(run.console.substr(compressedLines.size()));
        ASSERT_TRUE(rest.has_value()) << run.console;
        if (kept * 8 < blockEndBit) {
            EXPECT_EQ(*rest, noSignatureLines);
            EXPECT_EQ(run.csv, "");
        } else if (kept * 8 >= blockEndBit + 8) {
            EXPECT_TRUE(rest->ends_with("Loading files...\nConversion complete!\n")) << *rest;
            EXPECT_EQ(run.csv, subject.all());
        }
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(, DamagedInput,
                         ::testing::Combine(::testing::ValuesIn(allVersions),
                                            ::testing::Values(Content::rich, Content::single)),
                         [](const auto& test) {
                             return versionName(std::get<0>(test.param)) +
                                    (std::get<1>(test.param) == Content::rich ? "_Rich" : "_SingleFolder");
                         });

// ---- Counts, sizes and lengths far beyond the data ----
//
// The declared numbers are read as far as the data goes: nothing is reserved for them, the read error ends
// the reader, and the rows are those of the records read in full.

class Overstated : public ::testing::TestWithParam<Version> {
  protected:
    Overstated() : subject(richTree(GetParam()), GetParam()) {}
    Version v() const { return subject.version; }
    const catagen::EncodeMarks& marks() const { return subject.db.marks; }

    // Converts raw and bzip2-wrapped; checks the rows, that only the read error is raised, and the
    // reader's last line.
    void expectReadError(const std::string& bytes, const std::string& csv) {
        InMemoryConversion raw = convertInMemory(bytes);
        EXPECT_EQ(raw.csv, csv);
        EXPECT_TRUE(raw.flags.readError);
        EXPECT_FALSE(raw.flags.corrupt);
        EXPECT_EQ(raw.fatalLine, nullptr);
        EXPECT_TRUE(raw.console.ends_with("\nConversion complete!\n")) << raw.console;
        expectSameWhenWrapped(bytes, raw);
    }
    // The folder count of all ones (and a QWTB folder decode size of all ones, which its slots are checked
    // against), cut where the folder records end: the next record would be all zeroes.
    std::string allOnesFolderCount() const {
        std::string bytes = overwriteU32(subject.db.bytes, marks().folderCount, 0xFFFFFFFF);
        if (isQwtb(v())) bytes = overwriteU32(bytes, *marks().folderDecodeSize, 0xFFFFFFFF);
        return cut(bytes, marks().folders.back().end);
    }
    std::string allOnesFileCount() const {
        return overwriteU32(subject.db.bytes, marks().fileCount, 0xFFFFFFFF);
    }

    Subject subject;
};

TEST_P(Overstated, FolderCountOfAllOnes) {
    std::string bytes = allOnesFolderCount();
    // 1.7 reads every parent reference before any folder record: the data ends among them. 1.6 records
    // carry their parents, so every folder stored is read in full.
    expectReadError(bytes,
                    isQwtb(v()) ? subject.rowsOfFoldersRead(subject.tree.folders.size()) : subject.header());
    std::string declared = v() == Version::v1_6_7 ? "4294967295" : "-1";
    EXPECT_NE(convertInMemory(bytes).console.find("number of folders: " + declared + "\n"),
              std::string::npos);
}

TEST_P(Overstated, FileCountOfAllOnes) {
    expectReadError(allOnesFileCount(), subject.all());
    expectReadError(cut(allOnesFileCount(), marks().files[1].end),
                    subject.header() + subject.folderAndFileRows(2));
}

// The decode size alone: the records are all there, and the offsets follow the folders stored. QWTB warns
// that the size differs from the slots; 1.7.5 never reads it.
class OverstatedDecodeSize : public Overstated {};

TEST_P(OverstatedDecodeSize, OfAllOnesConvertsEverything) {
    ASSERT_TRUE(marks().folderDecodeSize.has_value());
    InMemoryConversion run =
        convertInMemory(overwriteU32(subject.db.bytes, *marks().folderDecodeSize, 0xFFFFFFFF));
    EXPECT_EQ(run.csv, subject.all());
    EXPECT_FALSE(run.flags.readError || run.flags.corrupt);
    std::string warning = "bad folder decode " + std::to_string(marks().firstInvalidReference) + " != -1\n";
    EXPECT_EQ(run.console.find(warning) != std::string::npos, isQwtb(v())) << run.console;
}

// A name whose suffix runs past the data: the longest a count can say (one byte in 1.6, a long compact
// count in 1.7), the data ending with the record. Folder 3 is the last folder named in every version's
// front coding that is not a repeat.
TEST_P(Overstated, NameLengthsPastTheData) {
    uint32_t longest = isQwtb(v()) ? 255 : 0xFFFFFFFE;
    const auto& folder = marks().folders[3];
    expectReadError(restateCount(cut(subject.db.bytes, folder.end), folder.name, longest, v()),
                    subject.rowsOfFoldersRead(3));
    const auto& file = marks().files.back();
    expectReadError(restateCount(subject.db.bytes, file.name, longest, v()),
                    subject.header() + subject.folderAndFileRows(subject.tree.files.size() - 1));
}

// The program itself, within a memory bound: a reader that reserved memory by a declared count would fail.
TEST_P(Overstated, ProgramStaysWithinAMemoryBound) {
    TempDir directory;
    for (const std::string& bytes : {allOnesFolderCount(), allOnesFileCount()}) {
        std::string input = directory.write("Quillseek.db", bytes);
        ProgramRun run = runProgram({input, directory.pathOf("out.qlx")}, 64);
        EXPECT_EQ(run.exitCode, 2) << run.console;
        EXPECT_TRUE(run.console.ends_with("Conversion complete!\nError: Encounted atleast one read error\n"))
            << run.console;
    }
}

INSTANTIATE_TEST_SUITE_P(, Overstated, ::testing::ValuesIn(allVersions), versionParamName);
INSTANTIATE_TEST_SUITE_P(, OverstatedDecodeSize,
                         ::testing::Values(Version::v1_6_6, Version::v1_6_7, Version::v1_7_5),
                         versionParamName);

// ---- Structural errors ----
//
// Each prints its lines and "Conversion complete!", raises the corrupt flag and no other, and keeps the rows
// written before it: only the header line when it is met among the folders (folder rows are written once
// every folder record is read), the folder rows and the earlier files when it is met among the files. Each
// runs three ways: in process, raw and bzip2-wrapped; through the program reading a file, raw, wrapped and
// as two bzip2 streams, which adds "Error: database corrupt" and exits with 2; and through the program
// reading a pipe, blocking or not, which must give what the file gives.

struct StructuralDamage {
    const char* name;
    std::span<const Version> versions;
    // Damages the database and gives the lines the reader prints last.
    std::string (*damage)(const Subject&, std::string&);
    std::optional<size_t> filesKept = {};  // set when the error is met among the files
};
void PrintTo(const StructuralDamage& d, std::ostream* out) { *out << d.name; }

const Version only167[] = {Version::v1_6_7};

// Where a damage is made: among the folder records or the file records.
using Records = std::vector<catagen::EncodeMarks::Record> catagen::EncodeMarks::*;
constexpr Records folders = &catagen::EncodeMarks::folders;
constexpr Records files = &catagen::EncodeMarks::files;

void setParent(const Subject& s, std::string& bytes, Records records, size_t index, uint32_t value) {
    bytes = overwriteU32(bytes, (s.db.marks.*records)[index].parent, value);
}
// A parent reference not below the first that names nothing.
std::string pastTheEnd(const Subject& s, std::string& bytes, Records records, size_t index, uint32_t value) {
    setParent(s, bytes, records, index, value);
    const char* pattern =
        records == folders
            ? (isQwtb(s.version) ? "bad folder parent offset %u < %u\n" : "invalid folder offset %u >= %u\n")
            : (isQwtb(s.version) ? "invalid file parent offset %u >= %u\n"
                                 : "invalid parent folder offset %u >= %u\n");
    return printed(pattern, value, s.db.marks.firstInvalidReference);
}
// A 1.6 parent offset below the decode size that is no folder's offset.
std::string offTheMap(const Subject& s, std::string& bytes, Records records, size_t index, uint32_t value) {
    setParent(s, bytes, records, index, value);
    const char* record = records == folders ? "folder" : "file";
    return printed("%s %zu: parent offset %u is not the decode offset of any folder\n", record, index, value);
}
// Folder `index` made the child of folder `parent`, which makes folder `named` its own ancestor.
std::string loop(const Subject& s, std::string& bytes, size_t index, size_t parent, size_t named) {
    setParent(s, bytes, folders, index, s.db.marks.folderReferences[parent]);
    return printed("folder %zu is its own ancestor: its parent chain never reaches a root folder\n", named);
}
// The strip count after the short suffix length of name `index`.
std::string strip(const Subject& s, std::string& bytes, Records records, size_t index, uint32_t value,
                  const char* line) {
    bytes = restateCount(bytes, (s.db.marks.*records)[index].name + 1, value, s.version);
    return line;
}
// A 1.6 folder decode size three bytes past the decode offset of folder `index`: 4 bytes would overflow.
std::string overflow(const Subject& s, std::string& bytes, size_t index) {
    uint32_t offset = s.db.marks.folderReferences[index];
    bytes = overwriteU32(bytes, *s.db.marks.folderDecodeSize, offset + 3);
    return printed("folder data overflow %u %u\n", offset + 4, offset + 3);
}

// A damage's parameters: the database's subject, and the bytes it changes.
using S = const Subject&;
using B = std::string&;

const StructuralDamage structuralDamages[] = {
    {"FolderParentNamingNothing", allVersions,
     [](S s, B b) { return pastTheEnd(s, b, folders, 3, s.db.marks.firstInvalidReference); }},
    {"FolderParentLargest", allVersions,
     [](S s, B b) { return pastTheEnd(s, b, folders, 1, isQwtb(s.version) ? 0xFFFFFFFE : 0xFFFFFFFF); }},
    {"FileParentNamingNothing", allVersions,
     [](S s, B b) { return pastTheEnd(s, b, files, 2, s.db.marks.firstInvalidReference); }, 2},
    {"FileParentLargest", allVersions, [](S s, B b) { return pastTheEnd(s, b, files, 0, 0xFFFFFFFF); }, 0},
    // "Programs" follows "C:", which 1.6.7 leaves out of the front coding as a root folder.
    {"FolderStripPastThePreviousName", allVersions,
     [](S s, B b) {
         return s.version == Version::v1_6_7
                    ? strip(s, b, folders, 1, 1, "Invalid folder code offset 1 > 0.\n")
                    : strip(s, b, folders, 1, 3, "Invalid folder code offset 3 > 2.\n");
     }},
    {"FileStripPastThePreviousName", allVersions,  // after "a\"b,c"
     [](S s, B b) { return strip(s, b, files, 3, 6, "Invalid file code offset 6 > 5.\n"); }, 3},
    {"FirstFileStripPastTheEmptyName", allVersions,
     [](S s, B b) { return strip(s, b, files, 0, 1, "Invalid file code offset 1 > 0.\n"); }, 0},
    {"FolderItsOwnParent", allVersions, [](S s, B b) { return loop(s, b, 1, 1, 1); }},
    // Folder 1 hangs from 4, which now loops with 3: a chain that leads into a loop it is not part of. The
    // folder named is the first of the loop that the chain meets.
    {"FolderChainIntoALoop", allVersions, [](S s, B b) { return loop(s, b, 3, 4, 4); }},
    // The 1.7 long form of a count: a strip count that is negative as a signed number.
    {"FolderStripLongForm", qrtbVersions,
     [](S s, B b) {
         return strip(s, b, folders, 1, 0x80000000, "Invalid folder code offset -2147483648 > 2.\n");
     }},
    // The bytes just after a folder's index in the offset map are zero: read as an index they would name
    // folder 0.
    {"FolderParentBetweenSlots", qwtbVersions,
     [](S s, B b) { return offTheMap(s, b, folders, 3, s.db.marks.folderReferences[2] + 4); }},
    // Three bytes before the end: a 4-byte index read there would reach past the map.
    {"FolderParentNearTheEndOfTheMap", qwtbVersions,
     [](S s, B b) { return offTheMap(s, b, folders, 1, s.db.marks.firstInvalidReference - 3); }},
    {"FileParentInsideASlot", qwtbVersions,
     [](S s, B b) { return offTheMap(s, b, files, 1, s.db.marks.folderReferences[2] + 1); }, 1},
    // Its 4 bytes would reach past the index of the last folder, where the map ends.
    {"FileParentOverlappingTheLastIndex", qwtbVersions,
     [](S s, B b) { return offTheMap(s, b, files, 3, s.db.marks.folderReferences.back() + 2); }, 3},
    {"FileParentAtTheLastByteOfTheMap", qwtbVersions,
     [](S s, B b) { return offTheMap(s, b, files, 2, s.db.marks.firstInvalidReference - 1); }, 2},
    // A folder is stored while its offset plus 4 is within the decode size. The last folder is a root folder
    // ("F:"), whose 1.6.7 slot holds its path; folder 4 is not.
    {"LastFolderSlotPastTheDecodeSize", qwtbVersions, [](S s, B b) { return overflow(s, b, 5); }},
    {"EarlierFolderSlotPastTheDecodeSize", qwtbVersions, [](S s, B b) { return overflow(s, b, 4); }},
    // Only file system type 0 is known: any other ends the reader before the monitors and the folders, the
    // entries before it printed in full.
    {"FileSystemTypeNotZero", only167,
     [](S s, B b) {
         b = restateCount(b, s.db.marks.filesystems[0], 1, s.version);
         return std::string("file system count 3\nbad file system type 1\n");
     }},
    {"LaterFileSystemTypeInTheLongForm", only167,
     [](S s, B b) {
         b = applyPatches(b, {{s.db.marks.filesystems[1], 1, countBytes(256)}});
         return std::string(
             "file system 0: path C:, guid {C:}\nserial number 00000000\n"
             "USN Journal ID 0000000000000000\nnext usn 0000000000000000\nbad file system type 256\n");
     }},
    // A root folder's name is its file system's index, which must name an entry of the list.
    {"RootFileSystemIndexJustPastTheList", only167,
     [](S s, B b) {
         b = restateCount(b, s.db.marks.folders[2].name, 3, s.version);
         return std::string("root folder 2: file system 3 is not in the file system list of 3\n");
     }},
    {"RootFileSystemIndexOfAllOnesInAnEmptyList", only167,
     [](S s, B b) {
         const auto& entries = s.db.marks.filesystems;
         b = applyPatches(b, {{entries.front() - 1, entries.back() - entries.front() + 1, countBytes(0)},
                              {s.db.marks.folders[0].name, 1, countBytes(0xFFFFFFFF)}});
         return std::string("root folder 0: file system 4294967295 is not in the file system list of 0\n");
     }},
};

const std::string corruptLine = "Error: database corrupt\n";

class StructuralDamages : public ::testing::TestWithParam<std::tuple<Version, StructuralDamage>> {
  protected:
    StructuralDamages()
        : subject(richTree(std::get<0>(GetParam())), std::get<0>(GetParam())), bytes(subject.db.bytes) {
        const StructuralDamage& damage = std::get<1>(GetParam());
        lines = damage.damage(subject, bytes);
        rows = subject.header() + (damage.filesKept ? subject.folderAndFileRows(*damage.filesKept) : "");
    }

    // Each form of the damaged database through the program (`run` gives its conversions of the stored
    // bytes): the console after the file lines is the in-process one and the corrupt line, the list holds
    // the rows kept, and the exit code is 2.
    template <typename Run> void expectEachForm(Run run) {
        const std::string console = convertInMemory(bytes).console + corruptLine;
        const std::string forms[] = {bytes, bzip2(bytes), inTwoStreams(bytes)};  // raw, wrapped, two streams
        for (size_t form = 0; form < 3; ++form) {
            SCOPED_TRACE(form == 0 ? "raw" : form == 1 ? "bzip2-wrapped" : "two bzip2 streams");
            for (const FileConversion& conversion : run(forms[form], form == 2)) {
                EXPECT_EQ(afterFileLines(conversion), (form == 0 ? "" : compressedLines) + console);
                EXPECT_TRUE(conversion.console.ends_with(lines + "Conversion complete!\n" + corruptLine))
                    << conversion.console;
                EXPECT_EQ(conversion.csv, rows);
                EXPECT_EQ(conversion.exitCode, 2);
            }
        }
    }

    Subject subject;
    std::string bytes;
    std::string lines;
    std::string rows;
    TempDir dir;
};

TEST_P(StructuralDamages, InProcess) {
    InMemoryConversion run = convertInMemory(bytes);
    EXPECT_EQ(run.csv, rows);
    EXPECT_TRUE(run.console.ends_with(lines + "Conversion complete!\n")) << run.console;
    EXPECT_EQ(run.console.find("Loading files...\n") != std::string::npos,
              std::get<1>(GetParam()).filesKept.has_value())
        << run.console;
    EXPECT_TRUE(run.flags.corrupt);
    EXPECT_FALSE(run.flags.readError);
    expectSameWhenWrapped(bytes, run);
}

TEST_P(StructuralDamages, ThroughTheProgram) {
    expectEachForm([&](const std::string& stored, bool) { return std::vector{convertFile(dir, stored)}; });
}

// Into a device, where the program formats the rows on a thread of their own: the console and the exit
// code of the conversion into a file.
TEST_P(StructuralDamages, ThroughTheProgramIntoADevice) {
    for (const std::string& stored : {bytes, bzip2(bytes)}) {
        FileConversion intoFile = convertFile(dir, stored);
        FileConversion intoDevice = convertFile(dir, stored, "/dev/null");
        EXPECT_EQ(afterFileLines(intoDevice), afterFileLines(intoFile));
        EXPECT_EQ(intoDevice.exitCode, intoFile.exitCode);
    }
}

// Blocking and non-blocking; the two streams only through the non-blocking pipe, whose reads end anywhere.
TEST_P(StructuralDamages, ThroughAPipe) {
    expectEachForm([&](const std::string& stored, bool twoStreams) {
        std::vector<FileConversion> runs{convertPiped(dir, stored, true)};
        if (!twoStreams) runs.push_back(convertPiped(dir, stored));
        return runs;
    });
}

std::vector<std::tuple<Version, StructuralDamage>> structuralParams() {
    std::vector<std::tuple<Version, StructuralDamage>> params;
    for (const StructuralDamage& damage : structuralDamages)
        for (Version v : damage.versions) params.emplace_back(v, damage);
    return params;
}

INSTANTIATE_TEST_SUITE_P(, StructuralDamages, ::testing::ValuesIn(structuralParams()), [](const auto& test) {
    return versionName(std::get<0>(test.param)) + "_" + std::get<1>(test.param).name;
});

}  // namespace
}  // namespace catadump::test
