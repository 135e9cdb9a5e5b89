// catagen: writes a test database of any of the six versions, from a directory on disk or from a seeded
// synthetic tree, and optionally the CSV the converter must make of it.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "catagen/bzip2.h"
#include "catagen/encode.h"
#include "catagen/expected_csv.h"
#include "catagen/from_dir.h"
#include "catagen/synthetic.h"

using namespace catagen;

namespace {

constexpr const char* kUsage =
    R"(usage: catagen --version V --output OUT.db [options] (--from-dir DIR | --synthetic ...)

  --version V            1.6.6, 1.6.7, 1.7.5, 1.7.8, 1.7.17 or 1.7.20
  --output FILE          the database to write
  --expect FILE          also write the CSV the converter must produce from it
  --bzip2[=N]            wrap the database in one bzip2 stream, block size N (1-9, default 9)
  --long-counts          write every compact count in its long form (255 and a u32)
  --mixed-counts         write a seeded random half of the small compact counts in the long form
  --flags X              the flags word (default 0x3F); in 1.7.17/1.7.20 it chooses the value fields

  --from-dir DIR         index the directory DIR (symbolic links are not followed)
  --fs-type T            the filesystem type of that directory in 1.7 databases (default 2)

  --synthetic            make a seeded tree; with:
  --seed S               (default 1)
  --folders F            (default 100)
  --files N              (default 1000)
  --depth D              most folders in one path, the root included (default 6)
  --name-length MIN-MAX  name lengths in bytes (default 1-40; 1.6 names are cut to 255)
  --filesystems K        (default 2)
  --fs-types LIST        comma-separated types the filesystems take in turn (default 0,2)
  --forward-refs PCT     percent of folders that swap places with their parent (default 0)
  --fs-files PCT         percent of files hanging directly from a filesystem, 1.7 only (default 0)
  --chain N              N of the folders nest one inside the other (default 0)
  --blob-items K         junk items in each blob list (default 0)
  --plain-names          no quotes, commas or 8-bit bytes in names

  --help                 this text
)";

struct Options {
    std::optional<Version> version;
    std::string output;
    std::string expect;
    int bzip2Block = 0;  // 0: raw
    CountForm counts = CountForm::Shortest;
    std::optional<uint32_t> flags;
    std::string fromDir;
    uint32_t fsType = 2;
    bool synthetic = false;
    SyntheticParams params;
};

bool parseNumber(std::string_view text, uint64_t max, uint64_t& out) {
    std::string s(text);
    if (s.empty() || s[0] == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > max) return false;
    out = value;
    return true;
}

template <typename T> bool parseInto(std::string_view text, T& out) {
    uint64_t value = 0;
    if (!parseNumber(text, static_cast<uint64_t>(T(~T(0))), value)) return false;
    out = static_cast<T>(value);
    return true;
}

bool parseTypes(std::string_view text, std::vector<uint32_t>& out) {
    out.clear();
    while (!text.empty()) {
        size_t comma = text.find(',');
        uint32_t type = 0;
        if (!parseInto(text.substr(0, comma), type)) return false;
        out.push_back(type);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    return !out.empty();
}

bool parseRange(std::string_view text, uint32_t& low, uint32_t& high) {
    size_t dash = text.find('-');
    if (dash == std::string_view::npos) return parseInto(text, low) && parseInto(text, high);
    return parseInto(text.substr(0, dash), low) && parseInto(text.substr(dash + 1), high);
}

// Empty on success, else the complaint.
std::string parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasInline = false;
        if (size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInline = true;
        }
        auto next = [&]() -> std::optional<std::string_view> {
            if (hasInline) return value;
            if (i + 1 >= argc) return std::nullopt;
            return std::string_view(argv[++i]);
        };
        auto bad = [&]() { return "bad or missing value for " + std::string(arg); };
        if (arg == "--help") return "help";
        if (arg == "--synthetic") {
            o.synthetic = true;
        } else if (arg == "--bzip2") {
            uint32_t block = 9;
            if (hasInline && (!parseInto(value, block) || block < 1 || block > 9)) return bad();
            o.bzip2Block = static_cast<int>(block);
        } else if (arg == "--long-counts") {
            o.counts = CountForm::Long;
        } else if (arg == "--mixed-counts") {
            o.counts = CountForm::Mixed;
        } else if (arg == "--plain-names") {
            o.params.oddBytes = false;
        } else {
            auto v = next();
            if (!v) return bad();
            bool ok = true;
            if (arg == "--version") {
                o.version = parseVersion(*v);
                ok = o.version.has_value();
            } else if (arg == "--output") {
                o.output = *v;
            } else if (arg == "--expect") {
                o.expect = *v;
            } else if (arg == "--flags") {
                uint32_t flags = 0;
                ok = parseInto(*v, flags);
                o.flags = flags;
            } else if (arg == "--from-dir") {
                o.fromDir = *v;
            } else if (arg == "--fs-type") {
                ok = parseInto(*v, o.fsType);
            } else if (arg == "--seed") {
                ok = parseInto(*v, o.params.seed);
            } else if (arg == "--folders") {
                ok = parseInto(*v, o.params.folders);
            } else if (arg == "--files") {
                ok = parseInto(*v, o.params.files);
            } else if (arg == "--depth") {
                ok = parseInto(*v, o.params.depth);
            } else if (arg == "--name-length") {
                ok = parseRange(*v, o.params.minNameLength, o.params.maxNameLength);
            } else if (arg == "--filesystems") {
                ok = parseInto(*v, o.params.filesystems);
            } else if (arg == "--fs-types") {
                ok = parseTypes(*v, o.params.filesystemTypes);
            } else if (arg == "--forward-refs") {
                ok = parseInto(*v, o.params.forwardReferencePercent);
            } else if (arg == "--fs-files") {
                ok = parseInto(*v, o.params.filesystemFilePercent);
            } else if (arg == "--chain") {
                ok = parseInto(*v, o.params.chain);
            } else if (arg == "--blob-items") {
                ok = parseInto(*v, o.params.blobItems);
            } else {
                return "unknown option " + std::string(arg);
            }
            if (!ok) return bad();
        }
    }
    if (!o.version) return "--version is required";
    if (o.output.empty()) return "--output is required";
    if (o.synthetic == !o.fromDir.empty()) return "give exactly one of --from-dir and --synthetic";
    if (o.flags) o.params.flags = *o.flags;
    if (o.synthetic) return checkSyntheticParams(o.params);
    return {};
}

// Encodes into `path`, raw or through bzip2. Empty on success; a failed file is removed.
std::string writeDatabase(const Tree& tree, const Options& o, uint64_t& bytesWritten) {
    OutputFile file;
    if (!openOutputFile(file, o.output)) return "cannot create " + o.output;
    Drain drain = fileDrain(file);
    Drain counted = [&](std::string_view bytes) {
        bytesWritten += bytes.size();
        drain(bytes);
    };
    std::unique_ptr<Bzip2Compressor> compressor;
    if (o.bzip2Block != 0) compressor = startBzip2(o.bzip2Block, counted);
    ByteSink sink = makeSink(compressor ? bzip2Drain(*compressor) : counted);
    std::string problem = encodeDatabase(tree, *o.version, EncodeOptions{o.counts, o.params.seed}, sink);
    if (problem.empty() && compressor && !finishBzip2(*compressor)) problem = "bzip2 compression failed";
    if (!closeOutputFile(file) && problem.empty()) problem = "cannot write " + o.output;
    if (!problem.empty()) std::remove(o.output.c_str());
    return problem;
}

std::string writeExpectation(const Tree& tree, const Options& o) {
    OutputFile file;
    if (!openOutputFile(file, o.expect)) return "cannot create " + o.expect;
    ByteSink sink = makeSink(fileDrain(file));
    writeExpectedCsv(tree, *o.version, sink);
    if (!closeOutputFile(file)) return "cannot write " + o.expect;
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (std::string problem = parseOptions(argc, argv, o); !problem.empty()) {
        if (problem == "help") {
            std::cout << kUsage;
            return 0;
        }
        std::cerr << "catagen: " << problem << "\n" << kUsage;
        return 2;
    }
    const bool oldFamily = isOldFamily(*o.version);
    if (oldFamily && o.params.maxNameLength > kMaxOldFamilyName) {
        std::cerr << "warning: 1.6 names hold at most 255 bytes; the longest names are cut to that\n";
        o.params.maxNameLength = kMaxOldFamilyName;
        o.params.minNameLength = std::min(o.params.minNameLength, o.params.maxNameLength);
    }
    auto started = std::chrono::steady_clock::now();
    Tree tree;
    if (o.synthetic) {
        tree = makeSyntheticTree(o.params);
    } else {
        DirectoryOptions dirOptions{o.fsType, o.params.flags};
        if (!treeFromDirectory(o.fromDir, dirOptions, tree, std::cerr)) return 1;
        if (oldFamily) limitNameLengths(tree, kMaxOldFamilyName, std::cerr);
    }
    uint64_t bytes = 0;
    if (std::string problem = writeDatabase(tree, o, bytes); !problem.empty()) {
        std::cerr << "catagen: " << problem << "\n";
        return 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: version %s, %zu folders, %llu files, %llu bytes in %.2f s\n", o.output.c_str(),
                std::string(versionInfo(*o.version).label).c_str(), tree.folders.size(),
                static_cast<unsigned long long>(fileCount(tree)), static_cast<unsigned long long>(bytes),
                seconds);
    if (!o.expect.empty()) {
        if (std::string problem = writeExpectation(tree, o); !problem.empty()) {
            std::cerr << "catagen: " << problem << "\n";
            return 1;
        }
    }
    return 0;
}
