// The converter against the generator: for every version, raw and bzip2-wrapped, databases of several
// synthetic shapes and of a real directory tree are converted by the catadump program, and its output
// must equal, byte for byte, the CSV the generator expects from its own tree.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "catagen/bzip2.h"
#include "catagen/encode.h"
#include "catagen/expected_csv.h"
#include "catagen/from_dir.h"
#include "catagen/synthetic.h"

using namespace catagen;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "catagen-round-trip-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Converts `db` with the catadump program and compares its output with `expected`. On a mismatch the
// message shows the first row that differs and the converter's console.
void expectConversion(const fs::path& db, const std::string& expected) {
    fs::path out = db.string() + ".qlx", console = db.string() + ".console";
    int code = run("'" CATADUMP_BINARY "' '" + db.string() + "' '" + out.string() + "' >'" +
                   console.string() + "' 2>&1 </dev/null");
    EXPECT_EQ(code, 0) << readFile(console);
    // A decode size that does not add up is only a warning, so it has to be looked for.
    EXPECT_EQ(readFile(console).find("bad folder decode"), std::string::npos) << readFile(console);
    std::string actual = readFile(out);
    if (actual == expected) return;
    std::istringstream a(actual), e(expected);
    std::string actualRow, expectedRow;
    size_t row = 0;
    while (std::getline(e, expectedRow)) {
        ++row;
        if (!std::getline(a, actualRow) || actualRow != expectedRow) break;
    }
    ADD_FAILURE() << db.filename() << ": output differs from the expectation at row " << row
                  << "\n  expected: " << expectedRow << "\n  actual:   " << actualRow << "\n  ("
                  << expected.size() << " bytes expected, " << actual.size() << " written)\nconsole:\n"
                  << readFile(console).substr(0, 4000);
}

struct Shape {
    const char* name;
    SyntheticParams params;
    CountForm counts;
    bool newFamilyOnly;  // files on filesystems, or no folders at all: the 1.6 family cannot hold them
};

std::vector<Shape> shapesFor(Version version) {
    const bool early = version == Version::v1_7_5 || version == Version::v1_7_8;
    const bool old = isOldFamily(version);
    std::vector<uint32_t> types = early ? std::vector<uint32_t>{0, 1, 2} : std::vector<uint32_t>{0, 1, 2, 3};
    std::vector<Shape> shapes;
    auto add = [&](const char* name, auto adjust, CountForm counts, bool newOnly) {
        SyntheticParams p;
        p.filesystemTypes = types;
        p.filesystems = 4;
        adjust(p);
        if (!(newOnly && old)) shapes.push_back({name, p, counts, newOnly});
    };
    add(
        "plain", [](SyntheticParams& p) { p.seed = 1, p.folders = 60, p.files = 500, p.depth = 5; },
        CountForm::Shortest, false);
    add(
        "forward-references",
        [](SyntheticParams& p) {
            p.seed = 2, p.folders = 400, p.files = 4000, p.depth = 8, p.forwardReferencePercent = 20,
            p.blobItems = 3;
        },
        CountForm::Mixed, false);
    add(
        "long-names",
        [old](SyntheticParams& p) {
            p.seed = 3, p.folders = 80, p.files = 400, p.minNameLength = old ? 200 : 100,
            p.maxNameLength = old ? 255 : 400;
        },
        CountForm::Long, false);
    add(
        "deep-chain", [](SyntheticParams& p) { p.seed = 4, p.folders = 2100, p.chain = 2000, p.files = 300; },
        CountForm::Shortest, false);
    add(
        "flat", [](SyntheticParams& p) { p.seed = 5, p.folders = 30, p.files = 200, p.depth = 1; },
        CountForm::Shortest, false);
    add(
        "empty", [](SyntheticParams& p) { p.seed = 6, p.folders = 0, p.files = 0; }, CountForm::Shortest,
        false);
    add(
        "files-on-filesystems",
        [](SyntheticParams& p) {
            p.seed = 7, p.folders = 200, p.files = 2000, p.filesystemFilePercent = 25,
            p.forwardReferencePercent = 5;
        },
        CountForm::Mixed, true);
    add(
        "no-folders", [](SyntheticParams& p) { p.seed = 8, p.folders = 0, p.files = 300; },
        CountForm::Shortest, true);
    return shapes;
}

// The flags words the shapes take in turn: in 1.7.17/1.7.20 they choose the value fields.
constexpr uint32_t kFlagWords[] = {0x3F, 0x00, 0x11, 0x2E, 0x06, 0xFFFFFFFF};

void expectRoundTrips(const Tree& tree, Version version, const EncodeOptions& options, const fs::path& dir,
                      const std::string& name) {
    std::string raw = encodeDatabase(tree, version, options);
    std::string expected = expectedCsv(tree, version);
    fs::path rawPath = dir / (name + ".db"), wrappedPath = dir / (name + ".bz2.db");
    writeFile(rawPath, raw);
    writeFile(wrappedPath, bzip2Wrap(raw, 9));
    expectConversion(rawPath, expected);
    expectConversion(wrappedPath, expected);
}

class GenRoundTrip : public ::testing::TestWithParam<Version> {};

TEST_P(GenRoundTrip, SyntheticShapes) {
    TempDir temp;
    size_t turn = 0;
    for (const Shape& shape : shapesFor(GetParam())) {
        SCOPED_TRACE(shape.name);
        SyntheticParams params = shape.params;
        params.flags = kFlagWords[turn++ % std::size(kFlagWords)];
        ASSERT_EQ(checkSyntheticParams(params), "");
        expectRoundTrips(makeSyntheticTree(params), GetParam(), {shape.counts, params.seed}, temp.path,
                         shape.name);
    }
}

// A small copy of this machine's /usr/share: real names, symbolic links, real sizes and times.
TEST_P(GenRoundTrip, RealDirectoryTree) {
    TempDir temp;
    fs::path copy = temp.path / "share";
    fs::create_directory(copy);
    for (const char* part : {"common-licenses", "doc/bzip2", "perl5/Debconf", "zoneinfo/America"}) {
        fs::path source = fs::path("/usr/share") / part;
        std::error_code ignored;
        if (fs::is_directory(source))
            fs::copy(source, copy / source.filename(),
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks, ignored);
    }
    ASSERT_FALSE(fs::is_empty(copy)) << "none of the chosen parts of /usr/share is on this machine";

    const Version version = GetParam();
    const bool early = version == Version::v1_7_5 || version == Version::v1_7_8;
    Tree tree;
    std::ostringstream warnings;
    ASSERT_TRUE(treeFromDirectory(copy.string(), {early ? 1u : 0u, 0x3F}, tree, warnings)) << warnings.str();
    ASSERT_GT(tree.files.size(), 10u);
    fs::path dbDir = temp.path / "db";
    fs::create_directory(dbDir);
    expectRoundTrips(tree, version, {}, dbDir, "share");
}

// The command line end to end: catagen writes the database and the expectation, catadump converts.
TEST_P(GenRoundTrip, CommandLine) {
    TempDir temp;
    fs::path db = temp.path / "cli.db", csv = temp.path / "cli.csv";
    std::string label(versionInfo(GetParam()).label);
    std::string command = "'" CATAGEN_BINARY "' --version " + label +
                          " --bzip2 --synthetic --seed 9 --folders 150 --files 1500 --name-length 3-300"
                          " --fs-types 0,1,2 --forward-refs 10 --mixed-counts --blob-items 2 --output '" +
                          db.string() + "' --expect '" + csv.string() + "' >/dev/null 2>&1";
    ASSERT_EQ(run(command), 0);
    EXPECT_EQ(readFile(db).substr(0, 4), "BZh9");
    expectConversion(db, readFile(csv));
}

INSTANTIATE_TEST_SUITE_P(AllVersions, GenRoundTrip,
                         ::testing::Values(Version::v1_6_6, Version::v1_6_7, Version::v1_7_5, Version::v1_7_8,
                                           Version::v1_7_17, Version::v1_7_20),
                         [](const auto& param) {
                             std::string label(versionInfo(param.param).label);
                             for (char& c : label)
                                 if (c == '.') c = '_';
                             return "v" + label;
                         });

}  // namespace
