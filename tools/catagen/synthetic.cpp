#include "catagen/synthetic.h"

#include <cstdio>
#include <memory>

#include "catagen/names.h"
#include "catagen/random.h"

namespace catagen {

namespace {

// Everything the file producer needs, fixed once the folders are made.
struct FilePlan {
    uint64_t seed = 0;
    NameRules rules;
    std::vector<uint32_t> filesPerFolder;      // in final folder order
    std::vector<uint32_t> filesPerFilesystem;  // files hanging directly from each filesystem
};

uint64_t randomFileTime(Rng& rng) {
    // 2005-01-01 to 2024-12-31.
    int64_t seconds = static_cast<int64_t>(between(rng, 1104537600, 1735689599));
    return fileTimeFromUnix(seconds, static_cast<int64_t>(below(rng, 1000000000)));
}

Values randomValues(Rng& rng, bool isFolder) {
    Values v;
    constexpr uint64_t kTicksPerDay = 864000000000ull;
    v.created = randomFileTime(rng);
    v.modified = v.created + below(rng, 1000 * kTicksPerDay);
    v.accessed = v.modified + below(rng, 300 * kTicksPerDay);
    v.recordFlags = static_cast<uint8_t>(nextU64(rng));
    // Sizes spread over many orders of magnitude; now and then the largest u64, which must print as all
    // twenty digits.
    v.size = chance(rng, 1, 1000) ? ~uint64_t{0} : below(rng, uint64_t{1} << below(rng, 36));
    uint64_t roll = below(rng, 1000);
    if (isFolder) {
        v.attributes = roll < 50 ? 0x12 : roll < 80 ? 0x11 : roll < 90 ? 0x16 : roll < 95 ? 0x2000 : 0x10;
    } else {
        v.attributes = roll < 100 ? 0x21 : roll < 150 ? 0x22 : roll < 170 ? 0x80 : roll < 180 ? 0x2020 : 0x20;
    }
    return v;
}

Filesystem makeFilesystem(Rng& rng, uint32_t index, uint32_t type) {
    Filesystem fs;
    fs.type = type;
    std::string drive = std::string(1, static_cast<char>('C' + index % 24)) + ":";
    switch (type) {
    case 1:
        fs.path = "\\\\host" + std::to_string(index) + "\\" + pickWord(rng);
        break;
    case 2:
        fs.path = drive + "\\Shared\\" + pickWord(rng);
        break;
    default:
        fs.path = drive;
        break;
    }
    char guid[64];
    std::snprintf(guid, sizeof guid, "\\\\?\\Volume{%08x-%04x-%04x-%04x-%012llx}\\",
                  static_cast<unsigned>(nextU64(rng)), static_cast<unsigned>(below(rng, 0x10000)),
                  static_cast<unsigned>(below(rng, 0x10000)), static_cast<unsigned>(below(rng, 0x10000)),
                  static_cast<unsigned long long>(below(rng, uint64_t{1} << 48)));
    fs.guid = guid;
    fs.root = drive + "\\";
    fs.includeOnly = chance(rng, 1, 3) ? drive + "\\Users" : "";
    fs.outOfDate = static_cast<uint8_t>(below(rng, 2));
    fs.flagA = static_cast<uint8_t>(below(rng, 2));
    fs.flagB = static_cast<uint8_t>(below(rng, 2));
    fs.serial = static_cast<uint32_t>(nextU64(rng));
    fs.journalId = nextU64(rng);
    fs.nextUsn = below(rng, uint64_t{1} << 40);
    return fs;
}

// The name of a filesystem's first root folder: the last part of its path, which has no backslash.
std::string rootNameOf(const Filesystem& fs) {
    size_t cut = fs.path.rfind('\\');
    return cut == std::string::npos ? fs.path : fs.path.substr(cut + 1);
}

Settings makeSettings(Rng& rng, const SyntheticParams& params) {
    Settings s;
    s.flags = params.flags;
    s.excludeFlags = static_cast<uint8_t>(below(rng, 256));
    // Blob items of the lengths where a reader's skipping could slip: empty, one chunk, around 255.
    constexpr size_t kBlobLengths[] = {0, 1, 44, 254, 255, 256, 300};
    for (auto& list : s.blobLists)
        for (uint32_t i = 0; i < params.blobItems; ++i) {
            std::string bytes(kBlobLengths[below(rng, 7)], '\0');
            for (char& c : bytes) c = static_cast<char>(nextU64(rng));
            list.push_back({static_cast<uint8_t>(nextU64(rng)), std::move(bytes)});
        }
    constexpr const char* kExcludes[] = {"*.tmp", "C:\\Windows", "~$*", "Thumbs.db", "C:\\$Recycle.Bin"};
    for (uint64_t n = below(rng, 4), i = 0; i < n; ++i)
        s.excludes.push_back({static_cast<uint32_t>(below(rng, 3)), kExcludes[below(rng, 5)]});
    for (uint64_t n = below(rng, 3), i = 0; i < n; ++i)
        s.mountPoints.push_back({nextU64(rng), static_cast<uint32_t>(below(rng, 8))});
    return s;
}

// The folder structure before ordering: parent and filesystem per folder, in creation order.
struct Shape {
    std::vector<uint32_t> parent;  // kNoFolder for roots
    std::vector<uint32_t> filesystem;
    std::vector<std::vector<uint32_t>> children;
};

Shape makeShape(Rng& rng, const SyntheticParams& params) {
    const uint32_t count = params.folders;
    const uint32_t systems = params.filesystems;
    Shape shape;
    shape.parent.assign(count, kNoFolder);
    shape.filesystem.assign(count, 0);
    shape.children.resize(count);
    std::vector<uint32_t> depth(count, 1);
    std::vector<uint32_t> open;  // folders that may still take children
    for (uint32_t i = 0; i < count; ++i) {
        bool isRoot = i < systems || params.depth == 1;
        bool inChain = !isRoot && i < uint64_t{systems} + params.chain;
        if (isRoot) {
            shape.filesystem[i] = i % systems;
        } else if (inChain) {
            uint32_t parent = i == systems ? 0 : i - 1;
            shape.parent[i] = parent;
            shape.filesystem[i] = shape.filesystem[parent];
            depth[i] = depth[parent] + 1;
            shape.children[parent].push_back(i);
            continue;  // nothing else hangs from the chain
        } else {
            // Half the time near the newest open folders, which makes deep, bushy branches; otherwise
            // anywhere, which keeps every level populated.
            size_t pickFrom = chance(rng, 1, 2) && open.size() > 32 ? open.size() - 32 : 0;
            uint32_t parent = open[pickFrom + below(rng, open.size() - pickFrom)];
            shape.parent[i] = parent;
            shape.filesystem[i] = shape.filesystem[parent];
            depth[i] = depth[parent] + 1;
            shape.children[parent].push_back(i);
        }
        if (depth[i] < params.depth) open.push_back(i);
    }
    return shape;
}

// Breadth-first order, so siblings stand next to each other and front coding pays off.
std::vector<uint32_t> breadthFirst(const Shape& shape) {
    std::vector<uint32_t> order;
    order.reserve(shape.parent.size());
    for (uint32_t i = 0; i < shape.parent.size(); ++i)
        if (shape.parent[i] == kNoFolder) order.push_back(i);
    for (size_t at = 0; at < order.size(); ++at)
        for (uint32_t child : shape.children[order[at]]) order.push_back(child);
    return order;
}

void addForwardReferences(Rng& rng, const SyntheticParams& params, const Shape& shape,
                          std::vector<uint32_t>& order) {
    std::vector<uint32_t> nonRoots;
    for (uint32_t i = 0; i < shape.parent.size(); ++i)
        if (shape.parent[i] != kNoFolder) nonRoots.push_back(i);
    if (params.forwardReferencePercent == 0 || nonRoots.empty()) return;
    uint64_t swaps = std::max<uint64_t>(1, nonRoots.size() * uint64_t{params.forwardReferencePercent} / 100);
    std::vector<uint32_t> position(order.size());
    for (uint32_t at = 0; at < order.size(); ++at) position[order[at]] = at;
    for (uint64_t s = 0; s < swaps; ++s) {
        uint32_t child = nonRoots[below(rng, nonRoots.size())];
        uint32_t parent = shape.parent[child];
        // Only swap when the parent stands first, so the swap always puts it after its child.
        if (position[parent] > position[child]) continue;
        std::swap(order[position[parent]], order[position[child]]);
        std::swap(position[parent], position[child]);
    }
}

__extension__ typedef unsigned __int128 Wide;  // total × running weight overflows 64 bits

// Splits `total` over the weights so that the parts add up exactly.
std::vector<uint32_t> split(uint64_t total, const std::vector<uint32_t>& weights) {
    uint64_t sum = 0;
    for (uint32_t w : weights) sum += w;
    std::vector<uint32_t> parts(weights.size(), 0);
    if (sum == 0) {
        if (!parts.empty()) parts[0] = static_cast<uint32_t>(total);
        return parts;
    }
    uint64_t before = 0, running = 0;
    for (size_t i = 0; i < weights.size(); ++i) {
        running += weights[i];
        uint64_t upTo = static_cast<uint64_t>((static_cast<Wide>(total) * running) / sum);
        parts[i] = static_cast<uint32_t>(upTo - before);
        before = upTo;
    }
    return parts;
}

void makeFiles(const FilePlan& plan, uint64_t groupSeed, uint32_t count, uint32_t folder, uint32_t filesystem,
               std::vector<std::string>& names, std::vector<Entry>& out) {
    Rng rng{groupSeed};
    makeSiblingNames(rng, NameKind::file, count, plan.rules, names);
    out.clear();
    for (std::string& name : names) {
        Entry file;
        file.name = std::move(name);
        file.parentFolder = folder;
        file.filesystem = filesystem;
        file.values = randomValues(rng, false);
        out.push_back(std::move(file));
    }
}

// Files in folder order, each folder's files sorted by name. The files of filesystem k that hang from
// the filesystem itself come just before the files of folder k * F / S, so they are mixed in among the
// folders' files rather than all at one end.
void produceFiles(const FilePlan& plan, const FileVisitor& visit) {
    const size_t folders = plan.filesPerFolder.size();
    const size_t systems = plan.filesPerFilesystem.size();
    std::vector<std::string> names;
    std::vector<Entry> group;
    auto emit = [&]() {
        for (const Entry& file : group)
            if (!visit(file)) return false;
        return true;
    };
    size_t nextSystem = 0;
    for (size_t folder = 0; folder <= folders; ++folder) {
        while (nextSystem < systems && (folder == folders || nextSystem * folders / systems <= folder)) {
            makeFiles(plan, mixSeed(plan.seed ^ 0x5151, nextSystem), plan.filesPerFilesystem[nextSystem],
                      kNoFolder, static_cast<uint32_t>(nextSystem), names, group);
            if (!emit()) return;
            ++nextSystem;
        }
        if (folder == folders) break;
        makeFiles(plan, mixSeed(plan.seed, folder), plan.filesPerFolder[folder],
                  static_cast<uint32_t>(folder), 0, names, group);
        if (!emit()) return;
    }
}

}  // namespace

uint64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    constexpr int64_t kEpochDifference = 11644473600;  // seconds from 1601-01-01 to 1970-01-01
    if (seconds < -kEpochDifference) return 0;
    return static_cast<uint64_t>(seconds + kEpochDifference) * 10000000u +
           static_cast<uint64_t>(nanoseconds / 100);
}

std::string checkSyntheticParams(const SyntheticParams& p) {
    if (p.minNameLength < 1) return "names need at least one byte";
    if (p.maxNameLength < p.minNameLength) return "the longest name is shorter than the shortest";
    if (p.depth < 1) return "the depth must be at least 1";
    if (p.filesystemTypes.empty()) return "no filesystem types";
    if (p.filesystems == 0 && (p.folders > 0 || p.files > 0)) return "folders and files need a filesystem";
    if (p.forwardReferencePercent > 100 || p.filesystemFilePercent > 100) return "percentages go up to 100";
    if (uint64_t{p.folders} + p.filesystems > 0xFFFFFFFFull) return "too many folders and filesystems";
    return {};
}

Tree makeSyntheticTree(const SyntheticParams& params) {
    Rng rng{mixSeed(params.seed, 0xF01D)};
    Tree tree;
    tree.settings = makeSettings(rng, params);
    for (uint32_t k = 0; k < params.filesystems; ++k)
        tree.filesystems.push_back(
            makeFilesystem(rng, k, params.filesystemTypes[k % params.filesystemTypes.size()]));

    NameRules rules{params.minNameLength, params.maxNameLength, params.oddBytes};
    Shape shape = makeShape(rng, params);
    // Names per sibling group: each folder's children, and the extra roots of each filesystem. The
    // first root of a filesystem is named after its path.
    std::vector<std::string> names(params.folders);
    std::vector<std::string> group;
    auto nameGroup = [&](std::vector<uint32_t>& members) {
        makeSiblingNames(rng, NameKind::folder, members.size(), rules, group);
        for (size_t i = 0; i < members.size(); ++i) names[members[i]] = group[i];
    };
    std::vector<std::vector<uint32_t>> extraRoots(params.filesystems);
    for (uint32_t i = 0; i < params.folders; ++i) {
        if (shape.parent[i] != kNoFolder) continue;
        if (i < params.filesystems) {
            names[i] = rootNameOf(tree.filesystems[i]);
            // A root named after its path can break the limits; the limits win.
            if (names[i].size() > rules.maxLength) names[i].resize(rules.maxLength);
        } else {
            extraRoots[shape.filesystem[i]].push_back(i);
        }
    }
    for (auto& roots : extraRoots) nameGroup(roots);
    for (auto& children : shape.children) nameGroup(children);

    std::vector<uint32_t> order = breadthFirst(shape);
    addForwardReferences(rng, params, shape, order);
    std::vector<uint32_t> position(order.size());
    for (uint32_t at = 0; at < order.size(); ++at) position[order[at]] = at;
    tree.folders.reserve(order.size());
    for (uint32_t made : order) {
        Entry folder;
        folder.name = std::move(names[made]);
        folder.parentFolder = shape.parent[made] == kNoFolder ? kNoFolder : position[shape.parent[made]];
        folder.filesystem = shape.filesystem[made];
        folder.values = randomValues(rng, true);
        tree.folders.push_back(std::move(folder));
    }

    // File counts: most folders hold a few files, some none, a few very many.
    auto plan = std::make_shared<FilePlan>();
    plan->seed = mixSeed(params.seed, 0xF11E);
    plan->rules = rules;
    uint64_t onFilesystems =
        params.folders == 0 ? params.files : uint64_t{params.files} * params.filesystemFilePercent / 100;
    std::vector<uint32_t> weights(params.folders);
    for (uint32_t& w : weights)
        w = chance(rng, 1, 5) ? 0 : chance(rng, 1, 50) ? 40 : static_cast<uint32_t>(between(rng, 1, 8));
    plan->filesPerFolder = split(params.files - onFilesystems, weights);
    plan->filesPerFilesystem = split(onFilesystems, std::vector<uint32_t>(params.filesystems, 1));
    tree.producer =
        FileProducer{params.files, [plan](const FileVisitor& visit) { produceFiles(*plan, visit); }};
    return tree;
}

}  // namespace catagen
