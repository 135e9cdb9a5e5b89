#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

#include "readers/dispatch.h"
#include "support/conversion_harness.h"
#include "support/db_builder.h"

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
        {"ForeignSignature", DbBuilder().header("ABCD", 1).bytes(), "Magic ABCD\nUnknown DB type 44434241 ABCD\n",
         false},
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
        {"VersionCutShort", "QRTb\x14\x00"s, "Magic QRTb\nVersion 0.0.0\nUnknown DB version 00000000\n", true},
        {"NestedBzip2", bzip2(bzip2(known)),
         compressedLines + "Magic BZh9\nUnknown DB type 39685a42 BZh9\n", false},
        {"CorruptBzip2", flipByte(bzip2(known), 4),
         compressedLines + "BZ2_bzDecompress(): -4: Failed to decompress.\n" + unreadSignature, true},
        {"Bzip2SignatureAlone", "BZh9", compressedLines + "ReadFile(): 0: Failed to read.\n" + unreadSignature,
         true},
        {"CompressedVersionCutShort", bzip2("QRTb\x14"),
         compressedLines +
             "Magic QRTb\nBZ2_bzDecompress(): 4: Unexpected EOF in decompression stream.\n"
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

struct KnownVersion {
    const char* signature;
    uint32_t version;
    const char* printed;
    std::string_view headerLine;
    ColumnSet columns;
};

constexpr std::string_view twoColumns = "Filename,Attributes\r\n";
constexpr std::string_view sixColumns = "Filename,Size,Date Created,Date Modified,Date Accessed,Attributes\r\n";

const KnownVersion knownVersions[] = {
    {"QWTB", versionWord(1, 6, 6), "1.6.6", twoColumns, ColumnSet::nameAndAttributes},
    {"QWTB", versionWord(1, 6, 7), "1.6.7", twoColumns, ColumnSet::nameAndAttributes},
    {"QRTb", versionWord(1, 7, 5), "1.7.5", twoColumns, ColumnSet::nameAndAttributes},
    {"QRTb", versionWord(1, 7, 8), "1.7.8", twoColumns, ColumnSet::nameAndAttributes},
    {"QRTb", versionWord(1, 7, 17), "1.7.17", sixColumns, ColumnSet::withValues},
    {"QRTb", versionWord(1, 7, 20), "1.7.20", sixColumns, ColumnSet::withValues},
};

uint32_t signatureWord(const char* fourBytes) {
    return loadU32(reinterpret_cast<const uint8_t*>(fourBytes));
}

// The formats table may hold any of the six versions (readers arrive one by one); whatever it holds must
// carry the header line of its version and be dispatched to, and nothing else may be in it.
TEST(DatabaseFormats, EachPresentVersionWritesItsHeaderLineFirst) {
    for (const KnownVersion& known : knownVersions) {
        const DatabaseFormat* format = findDatabaseFormat(signatureWord(known.signature), known.version);
        if (format == nullptr) continue;
        EXPECT_EQ(format->columns, known.columns) << known.printed;

        InMemoryConversion run = convertInMemory(DbBuilder().header(known.signature, known.version).bytes());
        EXPECT_TRUE(run.recognised) << known.printed;
        EXPECT_EQ(run.console.rfind("Magic "s + known.signature + "\nVersion " + known.printed + "\n", 0), 0u)
            << run.console;
        EXPECT_EQ(run.csv.substr(0, known.headerLine.size()), known.headerLine) << known.printed;
    }
}

TEST(DatabaseFormats, HoldOnlyTheSixVersionsUnderTheirOwnSignature) {
    for (uint32_t signature : {signature16, signature17, bzip2Signature, 0u}) {
        for (uint32_t version : {0u, versionWord(1, 6, 6), versionWord(1, 6, 7), versionWord(1, 7, 5),
                                 versionWord(1, 7, 8), versionWord(1, 7, 17), versionWord(1, 7, 20)}) {
            bool listed = (signature == signature16 && (version >> 16) == 0x0106) ||
                          (signature == signature17 && (version >> 16) == 0x0107);
            if (!listed) {
                EXPECT_EQ(findDatabaseFormat(signature, version), nullptr) << std::hex << signature << " " << version;
            }
        }
    }
}

} // namespace
} // namespace catadump::test
