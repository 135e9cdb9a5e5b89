#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

#include "catagen/expected_csv.h"
#include "readers/dispatch.h"
#include "support/conversion_harness.h"
#include "support/damage.h"
#include "support/db_builder.h"
#include "support/versions.h"

namespace catadump::test {
namespace {

using namespace std::string_literals;

const std::string compressedLines = "Magic BZh9\nDatabase is compressed, decompressing with bz2...\n";
const std::string unreadSignature = "Magic \0\0\0\0\nUnknown DB type 00000000 \0\0\0\0\n"s;

// A database the dispatch does not hand to any reader, and what it prints for it.
struct Unrecognised {
    std::string name;
    std::string stored;
    std::string console;
    bool readError;
};
void PrintTo(const Unrecognised& test, std::ostream* out) { *out << test.name; }

std::vector<Unrecognised> unrecognisedDatabases() {
    std::string known = DbBuilder().header("QRTb", versionWord(1, 7, 20)).bytes();
    std::vector<Unrecognised> cases = {
        {"ForeignSignature", DbBuilder().header("ABCD", 1).bytes(),
         "Magic ABCD\nUnknown DB type 44434241 ABCD\n", false},
        {"LowerCaseQ", DbBuilder().header("qRTb", versionWord(1, 7, 20)).bytes(),
         "Magic qRTb\nUnknown DB type 62545271 qRTb\n", false},
        {"UpperCaseB", DbBuilder().header("QRTB", versionWord(1, 7, 20)).bytes(),
         "Magic QRTB\nUnknown DB type 42545251 QRTB\n", false},
        {"LowerCaseB", DbBuilder().header("QWTb", versionWord(1, 6, 6)).bytes(),
         "Magic QWTb\nUnknown DB type 62545751 QWTb\n", false},
        {"VersionBetweenKnownOnes", DbBuilder().header("QRTb", versionWord(1, 7, 6)).bytes(),
         "Magic QRTb\nVersion 1.7.6\nUnknown DB version 01070006\n", false},
        {"NewerVersionUnderOlderSignature", DbBuilder().header("QWTB", versionWord(1, 7, 20)).bytes(),
         "Magic QWTB\nVersion 1.7.20\nUnknown DB version 01070014\n", false},
        {"OlderVersionUnderNewerSignature", DbBuilder().header("QRTb", versionWord(1, 6, 6)).bytes(),
         "Magic QRTb\nVersion 1.6.6\nUnknown DB version 01060006\n", false},
        {"VersionFieldsUnsigned", DbBuilder().header("QWTB", 0xFFFFFFFF).bytes(),
         "Magic QWTB\nVersion 255.255.65535\nUnknown DB version ffffffff\n", false},
        {"EmptyFile", "", unreadSignature, true},
        {"SignatureCutShort", "QR", unreadSignature, true},
        {"VersionCutShort", "QRTb\x14\x00"s, "Magic QRTb\nVersion 0.0.0\nUnknown DB version 00000000\n",
         true},
        {"NestedBzip2", bzip2(bzip2(known)), compressedLines + "Magic BZh9\nUnknown DB type 39685a42 BZh9\n",
         false},
        {"CorruptBzip2", flipByte(bzip2(known), 4),
         compressedLines + "BZ2_bzDecompress(): -4: Failed to decompress.\n" + unreadSignature, true},
        {"Bzip2SignatureAlone", "BZh9",
         compressedLines + "ReadFile(): 0: Failed to read.\n" + unreadSignature, true},
        {"CompressedVersionCutShort", bzip2("QRTb\x14"),
         compressedLines + "Magic QRTb\nBZ2_bzDecompress(): 4: Unexpected EOF in decompression stream.\n"
                           "Version 0.0.0\nUnknown DB version 00000000\n",
         true},
    };
    for (char digit = '1'; digit <= '8'; ++digit) {
        std::string magic = "BZh"s + digit;
        std::string hex = "3"s + digit + "685a42";
        cases.push_back({"Bzip2BlockSize"s + digit, bzip2(known, digit - '0'),
                         "Magic " + magic + "\nUnknown DB type " + hex + " " + magic + "\n", false});
    }
    return cases;
}

class UnrecognisedDatabase : public ::testing::TestWithParam<std::tuple<Unrecognised, size_t>> {};

TEST_P(UnrecognisedDatabase, PrintsWhatItSawAndWritesNothing) {
    const auto& [database, readAhead] = GetParam();
    InMemoryConversion run = convertInMemory(database.stored, readAhead);
    EXPECT_EQ(run.console, database.console);
    EXPECT_EQ(run.flags.readError, database.readError);
    EXPECT_FALSE(run.recognised);
    EXPECT_EQ(run.csv, "");
}

INSTANTIATE_TEST_SUITE_P(, UnrecognisedDatabase,
                         ::testing::Combine(::testing::ValuesIn(unrecognisedDatabases()),
                                            ::testing::Values(size_t{16}, defaultReadAhead)),
                         [](const auto& test) {
                             return std::get<0>(test.param).name + "ReadAhead" +
                                    std::to_string(std::get<1>(test.param));
                         });

// The six formats: each under its own signature, with the columns of its version.
struct KnownVersion {
    const char* signature;
    uint32_t version;
    Version generated;  // the generator's version of the same word
    ColumnSet columns;
};

const KnownVersion knownVersions[] = {
    {"QWTB", versionWord(1, 6, 6), Version::v1_6_6, ColumnSet::nameAndAttributes},
    {"QWTB", versionWord(1, 6, 7), Version::v1_6_7, ColumnSet::nameAndAttributes},
    {"QRTb", versionWord(1, 7, 5), Version::v1_7_5, ColumnSet::nameAndAttributes},
    {"QRTb", versionWord(1, 7, 8), Version::v1_7_8, ColumnSet::nameAndAttributes},
    {"QRTb", versionWord(1, 7, 17), Version::v1_7_17, ColumnSet::withValues},
    {"QRTb", versionWord(1, 7, 20), Version::v1_7_20, ColumnSet::withValues},
};

uint32_t signatureWord(const char* fourBytes) { return loadU32(reinterpret_cast<const uint8_t*>(fourBytes)); }

// Each row is found by its signature and version, carries the columns of its version, and its reader
// converts a database of that version in full: a row that is missing, or holds another version's columns
// or reader, fails here.
TEST(DatabaseFormats, EachVersionIsFoundWithItsColumnsAndReader) {
    catagen::Tree tree;  // a root folder holding a file with every value
    tree.filesystems.resize(1);
    tree.filesystems[0].path = "C:";
    tree.folders = {{"C:", catagen::kNoFolder, 0, {.attributes = 0x10}}};
    const catagen::Values values{
        .size = 1234, .created = 7, .modified = 8, .accessed = 9, .attributes = 0x20};
    tree.files = {{"a.txt", 0, 0, values}};
    for (const KnownVersion& known : knownVersions) {
        SCOPED_TRACE(versionName(known.generated));
        const DatabaseFormat* format = findDatabaseFormat(signatureWord(known.signature), known.version);
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->columns, known.columns);

        InMemoryConversion run = convertInMemory(encodeMarked(tree, known.generated).bytes);
        EXPECT_TRUE(run.console.starts_with("Magic "s + known.signature + "\nVersion " +
                                            std::string(catagen::versionInfo(known.generated).label) + "\n"))
            << run.console;
        EXPECT_EQ(run.csv, catagen::expectedCsv(tree, known.generated));
        EXPECT_FALSE(run.flags.readError || run.flags.corrupt) << run.console;
        EXPECT_TRUE(run.console.ends_with("Loading files...\nConversion complete!\n")) << run.console;
    }
}

// Around each pair (the other signature, a foreign one, the case of one letter changed; the neighbouring
// builds, other major and minor numbers, no version at all), a lookup finds a format exactly when the pair
// is one of the six.
TEST(DatabaseFormats, OnlyTheSixPairsAreFound) {
    auto known = [](uint32_t signature, uint32_t version) {
        return std::ranges::any_of(knownVersions, [&](const KnownVersion& k) {
            return signatureWord(k.signature) == signature && k.version == version;
        });
    };
    for (const KnownVersion& row : knownVersions) {
        uint32_t own = signatureWord(row.signature);
        for (uint32_t signature :
             {own, own == signature16 ? signature17 : signature16, bzip2Signature, 0u, own ^ 0x20000000u}) {
            for (uint32_t version : {row.version, row.version - 1, row.version + 1, row.version ^ 0x00030000u,
                                     row.version ^ 0x02000000u, row.version & 0xFFFF}) {
                EXPECT_EQ(findDatabaseFormat(signature, version) != nullptr, known(signature, version))
                    << std::hex << signature << " " << version;
            }
        }
    }
}

}  // namespace
}  // namespace catadump::test
