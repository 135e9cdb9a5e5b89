#include "catagen/encode.h"

#include <stdexcept>

#include "catagen/encode_internal.h"

namespace catagen {

namespace {

std::string checkName(std::string_view what, std::string_view name, size_t maxLength) {
    if (name.empty()) return std::string(what) + " with an empty name";
    if (name.find('\0') != std::string_view::npos) return std::string(what) + " name holds a zero byte";
    if (name.find('\\') != std::string_view::npos)
        return std::string(what) + " name holds a backslash: " + std::string(name);
    if (name.size() > maxLength)
        return std::string(what) + " name longer than " + std::to_string(maxLength) +
               " bytes: " + std::string(name);
    return {};
}

size_t maxNameLength(Version version) { return isOldFamily(version) ? kMaxOldFamilyName : 0xFFFFFFFEu; }

uint32_t maxFilesystemType(Version version) {
    switch (version) {
    case Version::v1_7_5:
    case Version::v1_7_8:
        return 2;
    case Version::v1_7_17:
    case Version::v1_7_20:
        return 3;
    default:
        return 0xFFFFFFFFu;  // the 1.6 family has no typed filesystem table
    }
}

}  // namespace

std::string checkEncodable(const Tree& tree, Version version) {
    const uint64_t folders = tree.folders.size();
    const uint64_t filesystems = tree.filesystems.size();
    // 1.7 parent references reach F + S - 1, and F + S itself is the first invalid one.
    if (folders + filesystems > 0xFFFFFFFFull) return "too many folders and filesystems";
    if (fileCount(tree) > 0xFFFFFFFFull) return "too many files";
    for (const Filesystem& fs : tree.filesystems)
        if (fs.type > maxFilesystemType(version))
            return "filesystem type " + std::to_string(fs.type) + " cannot be written in " +
                   std::string(versionInfo(version).label);
    if (!rootFilesystems(tree)) return "a folder's parent is out of range, or its parents form a loop";
    const bool rootsByPath = version == Version::v1_6_7;
    for (const Entry& folder : tree.folders) {
        bool isRoot = folder.parentFolder == kNoFolder;
        if (isRoot && version != Version::v1_6_6 && folder.filesystem >= filesystems)
            return "root folder " + folder.name + " hangs from a missing filesystem";
        if (isRoot && rootsByPath) {
            // The root takes its filesystem's path as its name; a zero byte would cut the row.
            if (tree.filesystems[folder.filesystem].path.find('\0') != std::string::npos)
                return "filesystem path holds a zero byte";
            continue;
        }
        if (std::string problem = checkName("folder", folder.name, maxNameLength(version)); !problem.empty())
            return problem;
    }
    if (version == Version::v1_6_6)
        for (const ExcludeEntry& entry : tree.settings.excludes)
            if (entry.kind > 255) return "a 1.6.6 exclude entry kind must fit a byte";
    return {};
}

std::string checkFile(const Tree& tree, Version version, const Entry& file) {
    if (file.parentFolder == kNoFolder) {
        if (isOldFamily(version)) return "file " + file.name + " must hang from a folder in this version";
        if (file.filesystem >= tree.filesystems.size())
            return "file " + file.name + " hangs from a missing filesystem";
    } else if (file.parentFolder >= tree.folders.size()) {
        return "file " + file.name + " hangs from a missing folder";
    }
    return checkName("file", file.name, maxNameLength(version));
}

std::string encodeDatabase(const Tree& tree, Version version, const EncodeOptions& options, ByteSink& sink) {
    if (std::string problem = checkEncodable(tree, version); !problem.empty()) return problem;
    EncodeContext context{version, CountWriter{options.counts, Rng{options.seed}}, *rootFilesystems(tree),
                          options.marks, position(sink)};
    if (options.marks != nullptr) *options.marks = EncodeMarks{};
    const VersionInfo& info = versionInfo(version);
    putText(sink, info.signature);
    putU32(sink, info.word);
    std::string problem;
    switch (version) {
    case Version::v1_6_6:
        problem = encodeBody166(tree, context, sink);
        break;
    case Version::v1_6_7:
        problem = encodeBody167(tree, context, sink);
        break;
    case Version::v1_7_5:
    case Version::v1_7_8:
        problem = encodeBodyEarly(tree, context, sink);
        break;
    case Version::v1_7_17:
    case Version::v1_7_20:
        problem = encodeBodyLate(tree, context, sink);
        break;
    }
    flush(sink);
    return problem;
}

std::string encodeDatabase(const Tree& tree, Version version, const EncodeOptions& options) {
    std::string out;
    ByteSink sink = makeSink(stringDrain(out), size_t{1} << 16);
    if (std::string problem = encodeDatabase(tree, version, options, sink); !problem.empty())
        throw std::invalid_argument(problem);
    return out;
}

}  // namespace catagen
