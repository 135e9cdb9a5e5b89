#include "catagen/tree.h"

#include <ostream>

namespace catagen {

uint64_t fileCount(const Tree& tree) { return tree.producer ? tree.producer->count : tree.files.size(); }

void forEachFile(const Tree& tree, const FileVisitor& visit) {
    if (tree.producer) {
        tree.producer->produce(visit);
        return;
    }
    for (const Entry& file : tree.files)
        if (!visit(file)) return;
}

namespace {

// Visits folders so that every parent is settled before its child, without recursion: chains can be as
// long as the folder count. `settle(i)` is called once per folder, parents first. False on a loop or an
// out-of-range parent.
template <typename Settle> bool parentsFirst(const std::vector<Entry>& folders, Settle settle) {
    enum : uint8_t { unseen, onChain, settled };
    std::vector<uint8_t> state(folders.size(), unseen);
    std::vector<uint32_t> chain;
    for (size_t start = 0; start < folders.size(); ++start) {
        uint32_t at = static_cast<uint32_t>(start);
        while (state[at] == unseen) {
            state[at] = onChain;
            chain.push_back(at);
            uint32_t parent = folders[at].parentFolder;
            if (parent == kNoFolder) break;
            if (parent >= folders.size() || state[parent] == onChain) return false;
            at = parent;
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            settle(*it);
            state[*it] = settled;
        }
        chain.clear();
    }
    return true;
}

}  // namespace

std::optional<std::vector<uint32_t>> rootFilesystems(const Tree& tree) {
    std::vector<uint32_t> roots(tree.folders.size(), 0);
    bool ok = parentsFirst(tree.folders, [&](uint32_t i) {
        const Entry& folder = tree.folders[i];
        roots[i] = folder.parentFolder == kNoFolder ? folder.filesystem : roots[folder.parentFolder];
    });
    if (!ok) return std::nullopt;
    return roots;
}

std::vector<std::string> folderPaths(const Tree& tree, bool rootsNamedByPath) {
    std::vector<std::string> paths(tree.folders.size());
    parentsFirst(tree.folders, [&](uint32_t i) {
        const Entry& folder = tree.folders[i];
        if (folder.parentFolder != kNoFolder) {
            paths[i] = paths[folder.parentFolder] + '\\' + folder.name;
        } else if (rootsNamedByPath && folder.filesystem < tree.filesystems.size()) {
            paths[i] = tree.filesystems[folder.filesystem].path;
        } else {
            paths[i] = folder.name;
        }
    });
    return paths;
}

size_t limitNameLengths(Tree& tree, size_t maxLength, std::ostream& warnings) {
    size_t cut = 0;
    auto limit = [&](Entry& entry, const char* what) {
        if (entry.name.size() <= maxLength) return;
        warnings << "warning: " << what << " name cut to " << maxLength << " bytes: " << entry.name << "\n";
        entry.name.resize(maxLength);
        ++cut;
    };
    for (Entry& folder : tree.folders) limit(folder, "folder");
    for (Entry& file : tree.files) limit(file, "file");
    if (tree.producer) {
        auto produce = std::move(tree.producer->produce);
        tree.producer->produce = [produce, maxLength](const FileVisitor& visit) {
            produce([&](const Entry& file) {
                if (file.name.size() <= maxLength) return visit(file);
                Entry shorter = file;
                shorter.name.resize(maxLength);
                return visit(shorter);
            });
        };
    }
    return cut;
}

void materializeFiles(Tree& tree) {
    if (!tree.producer) return;
    std::vector<Entry> files;
    files.reserve(tree.producer->count);
    tree.producer->produce([&](const Entry& file) {
        files.push_back(file);
        return true;
    });
    tree.files = std::move(files);
    tree.producer.reset();
}

}  // namespace catagen
